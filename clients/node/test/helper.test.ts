// Runs the client against the real helper ($QUELT_VOICE_HELPER, else the repository's build).
// Every line a real helper writes during these tests is kept for the schema check at the end.

import assert from "node:assert/strict";
import { once } from "node:events";
import {
  chmodSync,
  existsSync,
  mkdtempSync,
  readFileSync,
  rmSync,
  statSync,
  writeFileSync,
} from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { fileURLToPath } from "node:url";

import {
  EVENT_NAMES,
  Helper,
  HelperError,
  OP_NAMES,
  PROTOCOL_VERSION,
  type CapturePartialEvent,
  type WireError,
} from "quelt-voice";

const packageDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
const repo = path.resolve(packageDir, "../..");
const helperPath = process.env.QUELT_VOICE_HELPER ?? path.join(repo, "build/quelt-voice-helper");
const schemaPath = path.join(repo, "protocol/quelt-voice-helper.schema.json");
const fixtures = path.join(repo, "tests/fixtures");
const packageVersion = JSON.parse(
  readFileSync(path.join(packageDir, "package.json"), "utf8"),
).version;

// Bounds the tests that should take a moment, so that a missing reply fails instead of hanging.
const quick = { timeout: 30_000 };
const received: string[] = [];
const sent: string[] = [];
const running: Helper[] = [];
const scratch = mkdtempSync(path.join(tmpdir(), "quelt-voice-test-"));

function start(): Helper {
  const helper = Helper.start({ helperPath });
  helper.on("line", (line) => received.push(line));
  helper.on("sent", (line) => sent.push(line));
  running.push(helper);
  return helper;
}

before(() => {
  assert.ok(
    existsSync(helperPath),
    `no helper at ${helperPath}: build it or set QUELT_VOICE_HELPER`,
  );
});

after(async () => {
  await Promise.all(running.map((h) => h.shutdown().catch(() => undefined)));
  rmSync(scratch, { recursive: true, force: true });
});

describe("lifecycle", () => {
  test("hello, shutdown with status 0 and an exit event; then requests reject", quick, async () => {
    const helper = start();
    const hello = await helper.hello();
    assert.equal(hello.protocol, PROTOCOL_VERSION);
    assert.equal(hello.version, packageVersion, "package version follows the helper's");
    assert.equal(hello.pid, helper.pid);
    assert.deepEqual(await helper.ready, hello);

    const exit = once(helper, "exit");
    assert.equal(await helper.shutdown(), 0);
    assert.deepEqual(await exit, [0]);
    assert.equal(helper.exitStatus, 0);
    await assert.rejects(helper.hello(), { name: "HelperError", code: "helper_exited" });
    assert.equal(await helper.shutdown(), 0, "a second shutdown just reports the status");
  });

  test("closing the helper's input ends it with status 0", quick, async () => {
    const helper = start();
    await helper.ready;
    assert.equal(await helper.close(), 0);
    await assert.rejects(helper.voices(), { code: "helper_exited" });
  });

  test("a helper of another protocol version is refused and ended", quick, async () => {
    // A stand-in that reports protocol 2 and answers nothing but "shutdown".
    const fake = path.join(scratch, "fake-helper");
    writeFileSync(
      fake,
      `#!${process.execPath}
const out = (m) => process.stdout.write(JSON.stringify(m) + "\\n");
require("readline").createInterface({ input: process.stdin }).on("line", (line) => {
  const r = JSON.parse(line);
  if (r.op === "hello") out({ id: r.id, ok: true, result: { protocol: 2, version: "9.0.0" } });
  if (r.op === "shutdown") { out({ id: r.id, ok: true, result: {} }); process.exit(0); }
}).on("close", () => process.exit(0));
`,
    );
    chmodSync(fake, 0o755);
    const helper = Helper.start({ helperPath: fake });
    const mismatch = {
      name: "HelperError",
      code: "protocol_mismatch",
      message: /protocol 2.*protocol 1/,
    };
    const pending = helper.voices();
    await assert.rejects(pending, mismatch);
    await assert.rejects(helper.ready, mismatch);
    await assert.rejects(helper.hello(), mismatch);
    assert.equal(await helper.shutdown(), 0);
  });

  test("a helper that cannot be started rejects with the reason", quick, async () => {
    const helper = Helper.start({ helperPath: path.join(scratch, "missing") });
    await assert.rejects(helper.hello(), { code: "helper_exited", message: /missing.*ENOENT/ });
    await assert.rejects(helper.shutdown(), { code: "helper_exited" });
  });
});

describe("with one helper", () => {
  let helper: Helper;
  before(() => {
    helper = start();
  });

  test(
    "failures reject with a HelperError that carries the wire's error object",
    quick,
    async () => {
      const failing: [() => Promise<unknown>, Partial<HelperError>][] = [
        [
          () => helper.request("no.such.op"),
          { code: "invalid_request", message: "unknown op no.such.op" },
        ],
        [
          () =>
            helper.capture.start({ capture: 9, source: { kind: "file", path: "relative.wav" } }),
          { code: "invalid_request", message: "file source needs an absolute path" },
        ],
        [
          () => helper.speech.stop({ utterance: 12 }),
          { code: "session_not_active", nativeCode: 12 },
        ],
        [() => helper.locales.get("xx-YY"), { code: "locale_unsupported", locale: "xx-YY" }],
        [
          () => helper.speech.synthesizeFile({ path: "/nonexistent-dir/x.wav", text: "hello" }),
          { code: "io", domain: "/nonexistent-dir/x.wav" },
        ],
      ];
      for (const [request, expected] of failing) {
        const error = await request().then(
          () => assert.fail(`expected ${expected.code}`),
          (e: unknown) => e,
        );
        assert.ok(error instanceof HelperError && error instanceof Error);
        assert.equal(error.name, "HelperError");
        for (const [key, value] of Object.entries(expected))
          assert.equal(error[key as keyof HelperError], value, `${expected.code} ${key}`);
        // Field for field what the helper wrote, under the client's names.
        const wire = received
          .map((line) => JSON.parse(line))
          .find((m) => m.ok === false && m.error.message === error.message)?.error as WireError;
        const { native_code, ...same } = wire;
        const { code, message, domain, nativeCode, locale, status } = error;
        assert.deepEqual(
          JSON.parse(JSON.stringify({ code, message, domain, nativeCode, locale, status })),
          native_code === undefined ? same : { ...same, nativeCode: native_code },
        );
      }
    },
  );

  test("discovery ops answer with their records", quick, async () => {
    const { voices } = await helper.voices();
    assert.ok(voices.length > 0 && voices.every((v) => typeof v.id === "string"));
    const { locales } = await helper.locales.list();
    assert.ok(locales.some((l) => l.identifier === "en-US"));
    assert.equal((await helper.locales.get("en-US")).identifier, "en-US");
    const authorization = await helper.authorization.status();
    assert.deepEqual(Object.keys(authorization).sort(), ["microphone", "speech"]);
    assert.ok(Array.isArray((await helper.devices()).devices));
  });

  test(
    "transcribeFile collects the finals and reports partials",
    { timeout: 120_000 },
    async () => {
      const partials: CapturePartialEvent[] = [];
      const wav = path.relative(process.cwd(), path.join(fixtures, "sentence-16k-mono.wav"));
      const transcript = await helper.transcribeFile(wav, { onPartial: (p) => partials.push(p) });

      const words = (text: string): string[] => text.toLowerCase().match(/[a-z']+/g) ?? [];
      const heard = words(transcript.text);
      const expected = words(readFileSync(path.join(fixtures, "sentence.txt"), "utf8"));
      const found = expected.filter((w) => {
        const at = heard.indexOf(w);
        if (at >= 0) heard.splice(at, 1);
        return at >= 0;
      });
      assert.ok(found.length >= 0.8 * expected.length, `heard "${transcript.text}"`);
      assert.ok(partials.length > 0, "no partial texts");
      assert.ok(
        partials.every((p) => p.event === "capture.partial" && typeof p.segment === "number"),
      );
      assert.deepEqual(
        transcript.segments.map((s) => s.segment),
        [...transcript.segments.keys()],
        "segments in order from 0",
      );
    },
  );

  test("synthesizeFile renders a wav file", { timeout: 60_000 }, async () => {
    const file = path.join(scratch, "hello.wav");
    const result = await helper.synthesizeFile(file, "Hello from the test suite.", { rate: 0.5 });
    assert.equal(result.path, file);
    assert.ok(existsSync(file));
    assert.equal(statSync(file).size, result.bytes);
    assert.ok(result.duration_seconds > 0 && result.frames > 0);
  });
});

describe("protocol schema", () => {
  const skip = existsSync(schemaPath) ? false : `no schema at ${schemaPath}`;

  test(
    "every line written in these tests, and the client's names, match it",
    { skip },
    async () => {
      const { default: Ajv2020 } = await import("ajv/dist/2020.js");
      const schema = JSON.parse(readFileSync(schemaPath, "utf8"));
      assert.equal(schema["x-protocol-version"], PROTOCOL_VERSION);
      schema.$id ??= "quelt-voice-helper.schema.json";
      const ajv = new Ajv2020.default({ strict: false, allErrors: true, validateFormats: false });
      const line = ajv.compile(schema);
      const request = ajv.compile({ $ref: `${schema.$id}#/$defs/request` });

      const bad = (validate: typeof line, lines: string[]) =>
        lines.flatMap((l) =>
          validate(JSON.parse(l)) ? [] : [`${l}\n  ${ajv.errorsText(validate.errors)}`],
        );
      // The requests made to provoke "invalid_request" may break the schema too; the rest may not.
      const refused = new Set(
        received
          .map((l) => JSON.parse(l))
          .filter((m) => m.error?.code === "invalid_request")
          .map((m) => m.id),
      );
      const wellFormed = sent.filter((l) => !refused.has(JSON.parse(l).id));
      assert.ok(received.length > 0 && wellFormed.length > 0);
      assert.deepEqual(bad(line, received), [], "helper lines");
      assert.deepEqual(bad(request, wellFormed), [], "client requests");

      // The hand-written types name the same ops and events as the schema.
      assert.deepEqual(Object.keys(schema.$defs.params).sort(), [...OP_NAMES].sort());
      assert.deepEqual(Object.keys(schema.$defs.result).sort(), [...OP_NAMES].sort());
      const events = new Set<string>();
      const collect = (node: unknown): void => {
        if (typeof node !== "object" || node === null) return;
        const event = (node as { properties?: { event?: { const?: unknown; enum?: unknown[] } } })
          .properties?.event;
        for (const name of [event?.const, ...(event?.enum ?? [])])
          if (typeof name === "string") events.add(name);
        Object.values(node).forEach(collect);
      };
      collect(schema.$defs.event);
      assert.deepEqual([...events].sort(), [...EVENT_NAMES].sort());
    },
  );
});
