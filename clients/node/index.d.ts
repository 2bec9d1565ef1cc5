/** A saved sign-in: the panel's session under the revision that identifies this save. */
export interface SessionRecord {
  revision: string;
  session: Record<string, unknown> | null;
  [member: string]: unknown;
}

export type Host = 'AEFT' | 'PPRO';

export interface CallOptions {
  /** The tool's path; by default `sandrel-adobe-auth` (`.exe` on Windows) next to this module. */
  binaryPath?: string;
  /**
   * Kill the tool and reject with TIMEOUT after this long (default 30000). 0 waits as long as
   * the tool runs; more than about 24.8 days is taken as that.
   */
  timeoutMs?: number;
}

export interface UpdateOptions extends CallOptions {
  /** How many times a conflicting write is retried after a fresh read (default 3). */
  retries?: number;
}

export type ErrorCode =
  | 'INVALID_REQUEST'
  | 'STORAGE_UNAVAILABLE'
  | 'LOCK_FOLDER_NOT_PRIVATE'
  | 'CANNOT_LOCK'
  | 'KEYCHAIN_UNAVAILABLE'
  | 'UNREADABLE'
  | 'CONFLICT'
  | 'TOO_LARGE'
  | 'SAVE_FAILED'
  | 'NOT_VERIFIED'
  | 'BINARY_NOT_FOUND'
  | 'NO_ANSWER'
  | 'TIMEOUT';

/** Rejections are Errors whose message is the tool's own and whose code is one of these. */
export interface SignInError extends Error {
  code: ErrorCode;
}

export function read(host: Host, options?: CallOptions): Promise<SessionRecord | null>;
export function write(
  host: Host,
  expectedRevision: string | null,
  session: Record<string, unknown> | null,
  options?: CallOptions
): Promise<SessionRecord>;
export function signOut(host: Host, expectedRevision: string | null, options?: CallOptions): Promise<SessionRecord>;
export function update(
  host: Host,
  change: (record: SessionRecord | null) => Record<string, unknown> | null | Promise<Record<string, unknown> | null>,
  options?: UpdateOptions
): Promise<SessionRecord>;
export const codes: Readonly<Record<string, ErrorCode>>;
