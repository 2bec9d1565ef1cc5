// The UXP client: the same API as index.js, the tool started by the sandrel-adobe-auth.uxpaddon
// add-on. The options have the same members; what they mean under UXP is said here.
export { codes, read, signOut, update, write } from './index';
export type { ErrorCode, Host, SessionRecord, SignInError } from './index';

export interface CallOptions {
  /**
   * The tool's path; by default the tool in the add-on's own folder (mac/arm64, mac/x64 or
   * win/x64, whichever UXP loaded the add-on from).
   */
  binaryPath?: string;
  /**
   * Kill the tool and reject with TIMEOUT after this long (default 30000). The add-on always
   * bounds its wait: 0, and anything over 24 hours, waits 24 hours.
   */
  timeoutMs?: number;
}

export interface UpdateOptions extends CallOptions {
  /** How many times a conflicting write is retried after a fresh read (default 3). */
  retries?: number;
}
