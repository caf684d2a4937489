import { spawn, type ChildProcessWithoutNullStreams } from "node:child_process";
import { EventEmitter } from "node:events";
import { constants as osConstants } from "node:os";
import path from "node:path";

import { findHelper, onLines, type StartOptions } from "./child.js";
import { HelperError } from "./errors.js";
import {
  MAX_LINE_BYTES,
  PROTOCOL_VERSION,
  type AuthorizationRequestParams,
  type CapturePartialEvent,
  type CaptureStartParams,
  type EventMap,
  type EventName,
  type HelloResult,
  type HelperEvent,
  type JsonObject,
  type OpMap,
  type OpName,
  type SpeechContinueParams,
  type SpeechParams,
  type SpeechPauseParams,
  type SpeechSpeakParams,
  type SpeechStopParams,
  type SynthesizeFileParams,
  type SynthesizeFileResult,
} from "./protocol.js";


export interface TranscriptSegment {
  segment: number;
  text: string;
  confidence?: number;
}

export interface Transcript {
  /** The final texts of all segments, in segment order, joined by spaces. */
  text: string;
  segments: TranscriptSegment[];
}

export interface TranscribeOptions {
  locale?: string;
  contextualStrings?: string[];
  punctuation?: boolean;
  /** Feed the file at its natural speed instead of as fast as it can be read. */
  realtime?: boolean;
  onPartial?: (partial: CapturePartialEvent) => void;
}

export interface SynthesizeOptions extends Omit<SpeechParams, "text"> {
  format?: "wav" | "caf";
}

/** The listeners `Helper` emits to, by event name. */
export type HelperListeners = { [K in EventName]: (event: EventMap[K]) => void } & {
  /** Every event the helper sends, whatever its name. */
  event: (event: HelperEvent) => void;
  /** One diagnostic line from the helper's standard error. */
  stderr: (line: string) => void;
  /** The helper's exit status (128 + the signal number when a signal ended it). */
  exit: (status: number) => void;
  /** Every line the helper writes to standard output, as written. */
  line: (line: string) => void;
  /** Every request line this client writes to the helper. */
  sent: (line: string) => void;
};

// Names this client emits itself; a helper event by one of these names goes out only as "event".
const ownEvents = new Set([
  ...["event", "stderr", "exit", "line", "sent"],
  ...["error", "newListener", "removeListener"],
]);
const captureEnds = new Set(["capture.stopped", "capture.cancelled", "capture.failed"]);

interface Pending {
  resolve: (result: JsonObject) => void;
  reject: (error: HelperError) => void;
}

function isObject(value: unknown): value is JsonObject {
  return typeof value === "object" && value !== null && !Array.isArray(value);
}

/**
 * One running helper process. Start it with `Helper.start()`; it answers requests with
 * promises and reports everything else as events. It keeps this process alive until it exits:
 * end it with `shutdown()` (or `close()`).
 */
export class Helper extends EventEmitter {
  /** The executable that was started. */
  readonly path: string;
  /**
   * The "hello" result once the helper has shown it speaks this client's protocol; rejects
   * with "protocol_mismatch" or "helper_exited". Requests wait for it on their own.
   */
  readonly ready: Promise<HelloResult>;

  private readonly child: ChildProcessWithoutNullStreams;
  private readonly pending = new Map<number, Pending>();
  private nextId = 0;
  private versionChecked = false;
  // Request lines written once the version check has passed.
  private held: string[] = [];
  // Set when no further request can be answered; later requests reject with it at once.
  private failure: HelperError | null = null;
  private status: number | null = null;
  private readonly exited: Promise<number>;
  private settleExit!: { resolve: (status: number) => void; reject: (error: HelperError) => void };
  private readonly activeCaptures = new Set<number>();
  private nextCapture = 1;

  private constructor(options: StartOptions) {
    super();
    this.path = findHelper(options);
    this.exited = new Promise<number>((resolve, reject) => (this.settleExit = { resolve, reject }));
    this.exited.catch(() => {});

    this.child = spawn(this.path, [], {
      env: { ...process.env, ...options.env },
      stdio: ["pipe", "pipe", "pipe"],
    });
    // A helper that has gone away shows up as a rejected request, never as a crash here.
    this.child.stdin.on("error", () => {});
    this.child.on("error", (error) => {
      if (this.child.pid === undefined) this.startFailed(error);
    });
    onLines(this.child.stdout, (line) => this.received(line));
    onLines(this.child.stderr, (line) => this.emit("stderr", line));
    this.child.on("close", (code, signal) => {
      if (this.child.pid === undefined) return;
      this.ended(code ?? 128 + (signal ? (osConstants.signals[signal] ?? 0) : 0));
    });

    this.ready = this.call("hello", {}, true).then(
      (hello) => {
        if (hello.protocol !== PROTOCOL_VERSION) throw this.mismatch(String(hello.protocol));
        this.versionChecked = true;
        for (const line of this.held) this.write(line);
        this.held = [];
        return hello;
      },
      (error: HelperError) => {
        if (error.code === "helper_exited") throw error;
        throw this.mismatch("none (hello failed: " + error.message + ")");
      },
    );
    this.ready.catch(() => {});
  }

  /** Starts the helper and, first thing, checks its protocol version with "hello". */
  static start(options: StartOptions = {}): Helper {
    return new Helper(options);
  }

  /** The helper's process id; undefined when it could not be started. */
  get pid(): number | undefined {
    return this.child.pid;
  }

  /** The exit status once the helper has exited, else null. */
  get exitStatus(): number | null {
    return this.status;
  }

  /** Sends one request; resolves with the reply's result or rejects with a `HelperError`. */
  request<K extends OpName>(op: K, params?: OpMap[K]["params"]): Promise<OpMap[K]["result"]>;
  request(op: string, params?: object): Promise<JsonObject>;
  request(op: string, params?: object | null): Promise<JsonObject> {
    return this.call(op, params ?? {}, false);
  }

  private call(op: string, params: object, now: boolean): Promise<any> {
    if (this.failure) return Promise.reject(this.failure);
    const id = ++this.nextId;
    const line = JSON.stringify({ id, op, params });
    // The helper would only complain with an event that names no request, leaving it unanswered.
    if (Buffer.byteLength(line, "utf8") > MAX_LINE_BYTES)
      return Promise.reject(
        new HelperError("invalid_request", `request line exceeds ${MAX_LINE_BYTES} bytes`),
      );
    const reply = new Promise<JsonObject>((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      if (now || this.versionChecked) this.write(line);
      else this.held.push(line);
    });
    const capture = (params as JsonObject).capture;
    if (op === "capture.start" && typeof capture === "number") {
      // Known in use from now until the capture ends or its start fails (see newCaptureId).
      this.activeCaptures.add(Math.trunc(capture));
      reply.catch(() => this.activeCaptures.delete(Math.trunc(capture)));
    }
    return reply;
  }

  private write(line: string): void {
    this.child.stdin.write(line + "\n");
    this.emit("sent", line);
  }

  private received(line: string): void {
    this.emit("line", line);
    let message: unknown;
    try {
      message = JSON.parse(line);
    } catch {
      return; // the helper writes only JSON objects; anything else is not for this client
    }
    if (!isObject(message)) return;
    if (typeof message.event === "string") {
      const event = message as HelperEvent;
      if (captureEnds.has(event.event))
        this.activeCaptures.delete((event as { capture: number }).capture);
      this.emit("event", event);
      if (!ownEvents.has(event.event)) this.emit(event.event, event);
      return;
    }
    if (typeof message.id !== "number") return;
    const pending = this.pending.get(message.id);
    if (!pending) return;
    this.pending.delete(message.id);
    if (message.ok === true) pending.resolve(isObject(message.result) ? message.result : {});
    else pending.reject(HelperError.fromWire(message.error));
  }

  private failAll(error: HelperError): void {
    this.failure ??= error;
    this.held = [];
    const waiting = [...this.pending.values()];
    this.pending.clear();
    for (const p of waiting) p.reject(error);
  }

  private mismatch(reported: string): HelperError {
    const error = new HelperError(
      "protocol_mismatch",
      `the helper speaks protocol ${reported}, this client protocol ${PROTOCOL_VERSION}`,
    );
    this.failAll(error);
    // A helper this client cannot talk to is of no use: end it.
    this.write(JSON.stringify({ id: ++this.nextId, op: "shutdown", params: {} }));
    this.child.stdin.end();
    return error;
  }

  private startFailed(error: Error): void {
    const failure = new HelperError(
      "helper_exited",
      `cannot start the helper ${this.path}: ${error.message}`,
    );
    this.failAll(failure);
    this.settleExit.reject(failure);
  }

  private ended(status: number): void {
    this.status = status;
    this.failAll(new HelperError("helper_exited", `the helper has exited (status ${status})`));
    this.emit("exit", status);
    this.settleExit.resolve(status);
  }

  /** Sends "shutdown" and resolves with the exit status once the helper has exited. */
  async shutdown(): Promise<number> {
    if (this.status !== null) return this.status;
    if (this.failure?.code !== "protocol_mismatch") {
      try {
        await this.request("shutdown");
      } catch {
        // Exited meanwhile, or never started (then `exited` rejects with the reason).
        this.child.stdin.end();
      }
    }
    return this.exited;
  }

  /**
   * Ends the helper's standard input, which shuts it down like "shutdown" (a request still
   * being handled may then get no reply: it rejects with "helper_exited"). Resolves with the
   * exit status.
   */
  close(): Promise<number> {
    if (this.status === null) this.child.stdin.end();
    this.failure ??= new HelperError("helper_exited", "the helper's input has been closed");
    return this.exited;
  }

  /** "hello": the helper's protocol, version, pid and platform. */
  hello(): Promise<HelloResult> {
    return this.request("hello");
  }

  devices() {
    return this.request("devices.list");
  }

  voices() {
    return this.request("voices.list");
  }

  readonly authorization = {
    status: () => this.request("authorization.status"),
    request: (kind: AuthorizationRequestParams["kind"]) =>
      this.request("authorization.request", { kind }),
  };

  readonly locales = {
    list: () => this.request("locales.list"),
    get: (locale?: string) => this.request("locales.get", { locale }),
    install: (locale?: string) => this.request("locales.install", { locale }),
  };

  readonly capture = {
    start: (params: CaptureStartParams) => this.request("capture.start", params),
    commit: (capture: number) => this.request("capture.commit", { capture }),
    stop: (capture: number) => this.request("capture.stop", { capture }),
    cancel: (capture: number) => this.request("capture.cancel", { capture }),
  };

  readonly speech = {
    speak: (params: SpeechSpeakParams) => this.request("speech.speak", params),
    stop: (params: SpeechStopParams = {}) => this.request("speech.stop", params),
    pause: (params: SpeechPauseParams = {}) => this.request("speech.pause", params),
    continue: (params: SpeechContinueParams = {}) => this.request("speech.continue", params),
    synthesizeFile: (params: SynthesizeFileParams) =>
      this.request("speech.synthesize_file", params),
  };

  /** A capture id that no capture started through this client is using. */
  newCaptureId(): number {
    while (this.activeCaptures.has(this.nextCapture)) this.nextCapture++;
    return this.nextCapture++;
  }

  /**
   * Transcribes an audio file: one file capture, run to its end, its final texts collected in
   * segment order. Rejects with the start's error, the "capture.failed" error, or
   * "capture_cancelled" when the capture was cancelled (a shutdown cancels it).
   */
  transcribeFile(file: string, options: TranscribeOptions = {}): Promise<Transcript> {
    const capture = this.newCaptureId();
    const finals = new Map<number, TranscriptSegment>();
    return new Promise<Transcript>((resolve, reject) => {
      const finish = (error: HelperError | null) => {
        this.off("event", onEvent);
        this.off("exit", onExit);
        if (error) return reject(error);
        const segments = [...finals.values()].sort((a, b) => a.segment - b.segment);
        const text = segments
          .map((s) => s.text.trim())
          .filter((t) => t !== "")
          .join(" ");
        resolve({ text, segments });
      };
      const onEvent = (event: HelperEvent) => {
        if (!("capture" in event) || event.capture !== capture) return;
        switch (event.event) {
          case "capture.partial":
            options.onPartial?.(event);
            break;
          case "capture.final": {
            const segment: TranscriptSegment = { segment: event.segment, text: event.text };
            if (event.confidence !== undefined) segment.confidence = event.confidence;
            finals.set(event.segment, segment);
            break;
          }
          case "capture.stopped":
            finish(null);
            break;
          case "capture.cancelled":
            finish(new HelperError("capture_cancelled", `capture ${capture} was cancelled`));
            break;
          case "capture.failed":
            finish(HelperError.fromWire(event.error));
            break;
        }
      };
      const onExit = (status: number) =>
        finish(new HelperError("helper_exited", `the helper has exited (status ${status})`));
      // Events of a file capture can come before the start's reply: listen first.
      this.on("event", onEvent);
      this.on("exit", onExit);
      this.capture
        .start({
          capture,
          source: { kind: "file", path: path.resolve(file), realtime: options.realtime },
          locale: options.locale,
          contextual_strings: options.contextualStrings,
          punctuation: options.punctuation,
        })
        .catch(finish);
    });
  }

  /** Renders `text` to an audio file ("wav" by default) and resolves with what was written. */
  synthesizeFile(
    file: string,
    text: string,
    options: SynthesizeOptions = {},
  ): Promise<SynthesizeFileResult> {
    return this.speech.synthesizeFile({ ...options, path: path.resolve(file), text });
  }
}

export interface Helper {
  on<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
  once<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
  off<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
  addListener<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
  removeListener<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
  prependListener<K extends keyof HelperListeners>(event: K, listener: HelperListeners[K]): this;
}
