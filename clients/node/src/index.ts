export { Helper } from "./helper.js";
export { findHelper } from "./child.js";
export type { StartOptions } from "./child.js";
export type {
  HelperListeners,
  SynthesizeOptions,
  TranscribeOptions,
  Transcript,
  TranscriptSegment,
} from "./helper.js";
export { HelperError } from "./errors.js";
export * from "./protocol.js";
