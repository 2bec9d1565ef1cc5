// The UXP client: the same API as index.js, the tool started by the sandrel-adobe-auth.uxpaddon
// add-on. The options have the same members; what they mean under UXP is said here.
import { codes, read, signOut, update, write } from './index';
export { codes, read, signOut, update, write };
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

/** The loaded sandrel-adobe-auth.uxpaddon: its one function. */
export interface Addon {
  /** Resolves with the tool's whole output; a null binaryPath starts the tool beside the add-on. */
  request(binaryPath: string | null, requestText: string, timeoutMs: number): Promise<string>;
}

/**
 * The same client on an add-on the panel loaded itself, or a promise of it, as Premiere's
 * `require('sandrel-adobe-auth.uxpaddon')` may give either. Require it from the plugin's main
 * script: whether UXP resolves the add-on's name from a module in a subfolder is not documented.
 * An add-on that failed to load, or whose promise rejects, answers BINARY_NOT_FOUND.
 */
export function withAddon(addon: Addon | Promise<Addon>): {
  read: typeof read;
  write: typeof write;
  signOut: typeof signOut;
  update: typeof update;
  codes: typeof codes;
};
