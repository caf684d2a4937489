// The helper's wire vocabulary as TypeScript types: op params and results, event payloads and
// the error object. Keys keep their wire spelling (snake_case), so what these types describe is
// exactly what travels on the pipes.

/** The protocol version this client speaks; "hello" must report the same. */
export const PROTOCOL_VERSION = 1;

/** Largest request line the helper accepts, in UTF-8 bytes (without the line feed). */
export const MAX_LINE_BYTES = 1048576;

export type JsonObject = { [key: string]: unknown };

// ---- errors ----

/** Error codes the helper itself sends. */
export type WireErrorCode =
  | "invalid_request"
  | "native"
  | "io"
  | "session_not_active"
  | "voice_not_found"
  | "device_not_found"
  | "no_input_device"
  | "locale_unsupported"
  | "on_device_unavailable"
  | "recognizer_unavailable"
  | "network_unavailable"
  | "not_authorized_microphone"
  | "not_authorized_speech"
  | "asset_install_failed";

/** Codes this client raises on its own, never sent by the helper. */
export type ClientErrorCode = "protocol_mismatch" | "helper_exited" | "capture_cancelled";

/** The "error" object of a failed reply or a "capture.failed" event. */
export interface WireError {
  code: WireErrorCode | (string & {});
  message: string;
  domain?: string;
  native_code?: number;
  locale?: string;
  status?: AuthorizationStatus;
}

// ---- shared records ----

export type AuthorizationStatus = "not_determined" | "restricted" | "denied" | "authorized";
export type EngineName = "speech_recognizer" | "speech_analyzer";

export interface InputDevice {
  uid: string;
  name: string;
  manufacturer?: string;
  input_channels: number;
  sample_rate: number;
  is_default: boolean;
  transport?: string;
}

export interface LocaleSupport {
  identifier: string;
  on_device: "installed" | "downloadable" | "unsupported";
  recognizer_on_device: boolean;
  recognizer_available: boolean;
  recognizer_supported: boolean;
  analyzer?: "installed" | "downloadable";
}

export interface Voice {
  id: string;
  name: string;
  language: string;
  quality: "default" | "enhanced" | "premium";
  gender: "male" | "female" | "unspecified";
  is_personal: boolean;
  is_novelty: boolean;
}

// ---- ops: params and results ----

export interface HelloResult {
  protocol: number;
  version: string;
  pid: number;
  os_version: string;
  speech_analyzer: boolean;
  bundle_id: string;
}

export interface AuthorizationStatusResult {
  microphone: AuthorizationStatus;
  speech: AuthorizationStatus;
}

export interface AuthorizationRequestParams {
  kind: "microphone" | "speech";
}

export interface AuthorizationRequestResult {
  status: AuthorizationStatus;
}

export interface DevicesListResult {
  devices: InputDevice[];
}

export interface LocalesListResult {
  locales: LocaleSupport[];
}

export interface LocaleParams {
  /** A locale identifier; absent means the system's own language. */
  locale?: string;
}

export interface VoicesListResult {
  voices: Voice[];
}

export type CaptureSource =
  { kind: "microphone"; device_uid?: string } | { kind: "file"; path: string; realtime?: boolean };

export interface CaptureStartParams {
  capture: number;
  source?: CaptureSource;
  locale?: string;
  engine?: "auto" | EngineName;
  recognition?: "allow_server";
  punctuation?: boolean;
  contextual_strings?: string[];
  level_interval_ms?: number;
  request_authorization?: boolean;
}

export interface CaptureStartResult {
  engine: EngineName;
  /** The microphone in use; null for a file source. */
  device: InputDevice | null;
  locale: string;
  on_device: boolean;
}

export interface CaptureIdParams {
  capture: number;
}

export interface CaptureCommitResult {
  segment: number;
}

export interface SpeechParams {
  text: string;
  voice?: string;
  language?: string;
  /** 0.0 ... 1.0 */
  rate?: number;
  /** 0.5 ... 2.0 */
  pitch?: number;
  /** 0.0 ... 1.0 */
  volume?: number;
}

export interface SpeechSpeakParams extends SpeechParams {
  utterance: number;
  interrupt?: boolean;
}

export interface SpeechSpeakResult {
  /** The voice used; empty for the synthesizer's default voice. */
  voice: string;
}

export type SpeechBoundary = "immediate" | "word";

export interface SpeechStopParams {
  utterance?: number;
  boundary?: SpeechBoundary;
}

export type SpeechPauseParams = SpeechStopParams;

export interface SpeechContinueParams {
  utterance?: number;
}

export interface SynthesizeFileParams extends SpeechParams {
  /** Absolute path of the file to write. */
  path: string;
  format?: "wav" | "caf";
}

export interface SynthesizeFileResult {
  path: string;
  bytes: number;
  frames: number;
  sample_rate: number;
  channels: number;
  duration_seconds: number;
  voice: string;
}

export type EmptyResult = Record<string, never>;

/** Every op with its params and result. */
export interface OpMap {
  hello: { params: JsonObject; result: HelloResult };
  shutdown: { params: JsonObject; result: EmptyResult };
  "authorization.status": { params: JsonObject; result: AuthorizationStatusResult };
  "authorization.request": {
    params: AuthorizationRequestParams;
    result: AuthorizationRequestResult;
  };
  "devices.list": { params: JsonObject; result: DevicesListResult };
  "locales.list": { params: JsonObject; result: LocalesListResult };
  "locales.get": { params: LocaleParams; result: LocaleSupport };
  "locales.install": { params: LocaleParams; result: LocaleSupport };
  "voices.list": { params: JsonObject; result: VoicesListResult };
  "capture.start": { params: CaptureStartParams; result: CaptureStartResult };
  "capture.commit": { params: CaptureIdParams; result: CaptureCommitResult };
  "capture.stop": { params: CaptureIdParams; result: EmptyResult };
  "capture.cancel": { params: CaptureIdParams; result: EmptyResult };
  "speech.speak": { params: SpeechSpeakParams; result: SpeechSpeakResult };
  "speech.stop": { params: SpeechStopParams; result: EmptyResult };
  "speech.pause": { params: SpeechPauseParams; result: EmptyResult };
  "speech.continue": { params: SpeechContinueParams; result: EmptyResult };
  "speech.synthesize_file": { params: SynthesizeFileParams; result: SynthesizeFileResult };
}

export type OpName = keyof OpMap;

// Spelled as records so that the compiler insists on every name exactly once.
const opNames: Record<OpName, true> = {
  hello: true,
  shutdown: true,
  "authorization.status": true,
  "authorization.request": true,
  "devices.list": true,
  "locales.list": true,
  "locales.get": true,
  "locales.install": true,
  "voices.list": true,
  "capture.start": true,
  "capture.commit": true,
  "capture.stop": true,
  "capture.cancel": true,
  "speech.speak": true,
  "speech.stop": true,
  "speech.pause": true,
  "speech.continue": true,
  "speech.synthesize_file": true,
};

/** Every op name the helper answers. */
export const OP_NAMES = Object.freeze(Object.keys(opNames) as OpName[]);

// ---- events ----

export interface CaptureEventBase {
  capture: number;
}

/** Every event the helper sends, by name, with its payload (the "event" key included). */
export interface EventMap {
  protocol_error: { event: "protocol_error"; message: string };
  "capture.listening": CaptureEventBase & {
    event: "capture.listening";
    engine: EngineName;
    /** Present for a microphone capture. */
    device?: InputDevice;
  };
  "capture.level": CaptureEventBase & {
    event: "capture.level";
    rms: number;
    peak: number;
    elapsed_ms: number;
  };
  "capture.partial": CaptureEventBase & { event: "capture.partial"; segment: number; text: string };
  "capture.final": CaptureEventBase & {
    event: "capture.final";
    segment: number;
    text: string;
    confidence?: number;
  };
  "capture.segment": CaptureEventBase & { event: "capture.segment"; segment: number };
  "capture.stopped": CaptureEventBase & { event: "capture.stopped" };
  "capture.cancelled": CaptureEventBase & { event: "capture.cancelled" };
  "capture.failed": CaptureEventBase & { event: "capture.failed"; error: WireError };
  "speech.started": { event: "speech.started"; utterance: number };
  /** The range about to be spoken, in UTF-16 code units of the text as sent (String#slice). */
  "speech.range": { event: "speech.range"; utterance: number; location: number; length: number };
  "speech.paused": { event: "speech.paused"; utterance: number };
  "speech.resumed": { event: "speech.resumed"; utterance: number };
  "speech.finished": { event: "speech.finished"; utterance: number };
  "speech.cancelled": { event: "speech.cancelled"; utterance: number };
}

export type EventName = keyof EventMap;
export type HelperEvent = EventMap[EventName];

export type ProtocolErrorEvent = EventMap["protocol_error"];
export type CaptureListeningEvent = EventMap["capture.listening"];
export type CaptureLevelEvent = EventMap["capture.level"];
export type CapturePartialEvent = EventMap["capture.partial"];
export type CaptureFinalEvent = EventMap["capture.final"];
export type CaptureSegmentEvent = EventMap["capture.segment"];
export type CaptureStoppedEvent = EventMap["capture.stopped"];
export type CaptureCancelledEvent = EventMap["capture.cancelled"];
export type CaptureFailedEvent = EventMap["capture.failed"];
export type SpeechStartedEvent = EventMap["speech.started"];
export type SpeechRangeEvent = EventMap["speech.range"];
export type SpeechPausedEvent = EventMap["speech.paused"];
export type SpeechResumedEvent = EventMap["speech.resumed"];
export type SpeechFinishedEvent = EventMap["speech.finished"];
export type SpeechCancelledEvent = EventMap["speech.cancelled"];

const eventNames: Record<EventName, true> = {
  protocol_error: true,
  "capture.listening": true,
  "capture.level": true,
  "capture.partial": true,
  "capture.final": true,
  "capture.segment": true,
  "capture.stopped": true,
  "capture.cancelled": true,
  "capture.failed": true,
  "speech.started": true,
  "speech.range": true,
  "speech.paused": true,
  "speech.resumed": true,
  "speech.finished": true,
  "speech.cancelled": true,
};

/** Every event name the helper sends. */
export const EVENT_NAMES = Object.freeze(Object.keys(eventNames) as EventName[]);
