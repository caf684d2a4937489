import type { ClientErrorCode, WireError, WireErrorCode } from "./protocol.js";

/**
 * A failure reported by the helper (a failed reply or a "capture.failed" event), or one of the
 * client's own: "protocol_mismatch", "helper_exited", "capture_cancelled". The optional fields
 * are set exactly when the helper's error object has them.
 */
export class HelperError extends Error {
  readonly code: WireErrorCode | ClientErrorCode | (string & {});
  /** Platform error domain; for "io" errors the path of the file concerned. */
  declare readonly domain?: string;
  /** Platform error code; for "session_not_active" the capture or utterance id. */
  declare readonly nativeCode?: number;
  declare readonly locale?: string;
  /** An authorization status, for the "not_authorized_*" codes. */
  declare readonly status?: string;

  constructor(
    code: HelperError["code"],
    message: string,
    details: { domain?: string; nativeCode?: number; locale?: string; status?: string } = {},
  ) {
    super(message);
    this.name = "HelperError";
    this.code = code;
    // Absent stays absent (no undefined-valued keys), so the error reads like the wire object.
    if (details.domain !== undefined) this.domain = details.domain;
    if (details.nativeCode !== undefined) this.nativeCode = details.nativeCode;
    if (details.locale !== undefined) this.locale = details.locale;
    if (details.status !== undefined) this.status = details.status;
  }

  /** The error for a wire error object; tolerates a malformed one rather than throwing. */
  static fromWire(error: unknown): HelperError {
    const e = (typeof error === "object" && error !== null ? error : {}) as Partial<WireError>;
    return new HelperError(
      typeof e.code === "string" ? e.code : "unknown",
      typeof e.message === "string" ? e.message : "the helper reported an error",
      {
        domain: typeof e.domain === "string" ? e.domain : undefined,
        nativeCode: typeof e.native_code === "number" ? e.native_code : undefined,
        locale: typeof e.locale === "string" ? e.locale : undefined,
        status: typeof e.status === "string" ? e.status : undefined,
      },
    );
  }
}
