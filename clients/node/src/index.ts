export { Helper, findHelper } from "./helper.js";
export type {
  HelperListeners,
  StartOptions,
  SynthesizeOptions,
  TranscribeOptions,
  Transcript,
  TranscriptSegment,
} from "./helper.js";
export { HelperError } from "./errors.js";
export * from "./protocol.js";
