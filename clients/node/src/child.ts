// Finding the helper and reading its output a line at a time.

import { existsSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

export interface StartOptions {
  /** The helper executable; see `findHelper` for what is used without it. */
  helperPath?: string;
  /** Variables added to this process's environment for the helper. */
  env?: Record<string, string>;
}

/**
 * Where the helper is taken from: `options.helperPath`; else `$QUELT_VOICE_HELPER`; else
 * `<prefix>/bin/quelt-voice-helper` when this package is installed as
 * `<prefix>/lib/node_modules/quelt-voice` (a global `npm install -g` beside the helper's own
 * install) and that file exists; else `quelt-voice-helper`, found on the PATH.
 */
export function findHelper(options: StartOptions = {}): string {
  if (options.helperPath) return options.helperPath;
  const fromEnv = process.env.QUELT_VOICE_HELPER;
  if (fromEnv) return fromEnv;
  const packageDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
  const modules = path.dirname(packageDir);
  const lib = path.dirname(modules);
  if (path.basename(modules) === "node_modules" && path.basename(lib) === "lib") {
    const beside = path.join(path.dirname(lib), "bin", "quelt-voice-helper");
    if (existsSync(beside)) return beside;
  }
  return "quelt-voice-helper";
}

// Splits a stream's text into lines; a last line without a line feed still counts at the end.
export function onLines(stream: NodeJS.ReadableStream, handle: (line: string) => void): void {
  let rest = "";
  stream.setEncoding("utf8");
  stream.on("data", (chunk: string) => {
    rest += chunk;
    let end: number;
    while ((end = rest.indexOf("\n")) >= 0) {
      const line = rest.slice(0, end);
      rest = rest.slice(end + 1);
      handle(line);
    }
  });
  stream.on("end", () => {
    if (rest !== "") handle(rest);
    rest = "";
  });
}
