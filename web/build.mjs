// Writes the classic-script build (dorvent.js) and the TypeScript
// declarations (dorvent.d.ts) from the ES module dorvent.mjs.
//   node web/build.mjs          rewrite both
//   node web/build.mjs --check  fail when either is out of date
import { readFileSync, writeFileSync } from "node:fs";
import { ACTIONS } from "./dorvent.mjs";

const kHeader = "// Generated from dorvent.mjs by build.mjs: edit that file and run `node web/build.mjs`.\n";

// The module without its export keywords, in a function that hands the
// exported names to CommonJS or to the page as window.Dorvent.
function classicScript(source) {
  const names = [];
  const body = source.replace(/^export (const|class|function) (\w+)/gm, (_, kind, name) => {
    names.push(name);
    return `${kind} ${name}`;
  });
  return `${kHeader}(function (root) {
  "use strict";

${body.trimEnd()}

  const api = { ${names.join(", ")} };
  if (typeof module === "object" && module.exports)
    module.exports = api;
  else
    root.Dorvent = api;
})(typeof globalThis !== "undefined" ? globalThis : this);
`;
}

const quoted = (key) => (/^[A-Za-z_$][\w$]*$/.test(key) ? key : JSON.stringify(key));

function requestType(row) {
  const keys = Object.keys(row.request || {});
  return keys.length ? `{ ${keys.map((k) => `${quoted(k)}: Field`).join("; ")} }` : "{}";
}

// Reply keys that are present only in some replies.
const kOptionalReplyKeys = new Set(["data", "figData"]);
// Reply keys that are no text (the status action's).
const kReplyKeyTypes = { readerPresent: "boolean | null", readerOpen: "boolean" };

function replyType(row) {
  const extra = (row.reply || []).filter((k) => k !== "data");
  if (row.silent)
    return "null";
  const keys = extra.map((k) => `${quoted(k)}${kOptionalReplyKeys.has(k) ? "?" : ""}: ${kReplyKeyTypes[k] || "string"}`);
  return `Reply<"${row.act}">${keys.length ? ` & { ${keys.join("; ")} }` : ""}`;
}

function declarations() {
  const requests = ACTIONS.map((row) => `  ${row.act}: ${requestType(row)};`).join("\n");
  const replies = ACTIONS.map((row) => `  ${row.act}: ${replyType(row)};`).join("\n");
  const silent = ACTIONS.filter((row) => row.silent).map((row) => `"${row.act}"`).join(" | ");
  return `${kHeader.replace("dorvent.mjs by", "dorvent.mjs's ACTIONS by")}
/** Request values: the service reads every value as text (a number as its decimal digits). */
export type Field = string | number;

/** The envelope of every reply; "data" and "Base64" only when not empty. */
export interface Reply<A extends string = string> {
  _tflag: string;
  functionName: A;
  msg: string;
  success: number;
  data?: string;
  Base64?: string;
}

/** The request keys of each action. */
export interface Requests {
${requests}
}

/** What each action resolves with (null: the service never answers it). */
export interface Replies {
${replies}
}

export type ActionName = keyof Requests;
export type SilentAction = ${silent};

export interface Family { id: string; title: string; card?: { place: string; card: string } }
export interface ActionRow {
  act: ActionName;
  family: string;
  /** One line: what the action does. */
  about: string;
  request?: Record<string, string>;
  reply?: string[];
  silent?: boolean;
  waits?: string;
  /** The actions that must have succeeded before this one, in order. */
  first?: ActionName[];
}

/** A result code ("success") and what it means. */
export interface ResultCode {
  code: number;
  name: string;
  meaning: string;
  meaningZh: string;
  /** What a page does about it. */
  advice: string;
}
/** Numbers outside RESULT_CODES, by range (lowest and highest included). */
export interface ResultRange extends Omit<ResultCode, "code"> {
  lowest: number;
  highest: number;
}

export declare const DEFAULT_URL: string;
export declare const DEFAULT_TIMEOUT_MS: number;
export declare const FAMILIES: Family[];
export declare const ACTIONS: ActionRow[];
export declare const RESULT_CODES: ResultCode[];
export declare const RESULT_RANGES: ResultRange[];
export declare function closeCodeName(code: number): string;
/** The row of a code, or of its range; a card's refusal also gives its status word (hex). */
export declare function resultCode(code: number): ResultCode & { statusWord?: string };

export type ErrorKind = "failed" | "unknown" | "not-json" | "binary" | "closed" | "timeout" | "unreachable" | "refused";

export declare class DorventError extends Error {
  kind: ErrorKind;
  /** "failed": the code's name (e.g. "NoCard", see RESULT_CODES); otherwise "DorventError". */
  name: string;
  action?: string;
  /** "failed": the reply's success code and msg, and the reply itself. */
  code?: number;
  msg?: string;
  /** "failed": what the code means, in English and Chinese, and what a page does about it. */
  meaning?: string;
  meaningZh?: string;
  advice?: string;
  /** "failed" with a card's refusal: its status word (hex, e.g. "63C2"). */
  statusWord?: string;
  reply?: Reply & Record<string, unknown>;
  /** "closed", "unreachable": the WebSocket close code (1009 message too big, 1006 no close frame). */
  closeCode?: number;
  closeReason?: string;
  timeoutMs?: number;
  /** "not-json": the text received. */
  text?: string;
  /** "refused": the field holding a single quote. */
  key?: string;
}

export interface ClientOptions {
  /** Default ws://localhost:17798. */
  url?: string;
  /** Default time a call waits for its reply, in ms. */
  timeoutMs?: number;
  /** A WebSocket constructor, where the runtime has no global one. */
  WebSocket?: unknown;
}

export interface CallOptions {
  timeoutMs?: number;
  /** Resolve with replies whose success is negative instead of rejecting. */
  raw?: boolean;
  /** Called with the exact text sent, its "_tflag" included. */
  onSend?: (text: string) => void;
}

type CallArgs<A extends ActionName> = {} extends Requests[A]
  ? [fields?: Requests[A], options?: CallOptions]
  : [fields: Requests[A], options?: CallOptions];

export declare class DorventClient {
  constructor(options?: ClientOptions);
  readonly url: string;
  timeoutMs: number;
  readonly connected: boolean;
  /** A lost connection was replaced and no "open" succeeded since. */
  readonly mustReopen: boolean;
  /** A reply said that the opened reader was unplugged, and none since that it is back. */
  readonly readerGone: boolean;
  connect(): Promise<void>;
  disconnect(): void;
  call<A extends ActionName>(act: A, ...args: CallArgs<A>): Promise<Replies[A]>;
  /** Any action name, listed or not (call accepts only listed ones): for actions newer than this client. */
  callAny(act: SilentAction, fields?: Record<string, Field>, options?: CallOptions): Promise<null>;
  callAny(act: string, fields?: Record<string, Field>, options?: CallOptions): Promise<Reply & Record<string, unknown>>;
  /** Opens the reader; one open already must also answer (its version is asked for). */
  ensureOpen(options?: CallOptions): Promise<Reply<"open">>;
  /** The service's version and the reader's state. */
  status(options?: CallOptions): Promise<Replies["serviceStatus"]>;
  /** close then open, for every client: for a reader that stopped answering (an unplugged one is opened again by the service). */
  reopen(options?: CallOptions): Promise<Reply<"open">>;
  open(options?: CallOptions): Promise<Reply<"open">>;
  close(options?: CallOptions): Promise<Reply<"close">>;
  beep(options?: CallOptions): Promise<Reply<"beep">>;
  version(options?: CallOptions): Promise<Reply<"version">>;
  on(event: "reconnect", listener: (event: { url: string; message: string }) => void): this;
  on(event: "close", listener: (event: { code: number; reason: string }) => void): this;
  on(event: "stray", listener: (reply: unknown) => void): this;
  /** A reply of this client's calls says that the opened reader was unplugged / is back. */
  on(event: "readergone" | "readerback", listener: (event: { action: string; reply: Reply & Record<string, unknown> }) => void): this;
  off(event: string, listener: (...args: any[]) => void): this;
}
`;
}

const here = new URL(".", import.meta.url);
const outputs = {
  "dorvent.js": classicScript(readFileSync(new URL("dorvent.mjs", here), "utf8")),
  "dorvent.d.ts": declarations(),
};

if (process.argv.includes("--check")) {
  const stale = Object.keys(outputs).filter((name) => {
    try {
      return readFileSync(new URL(name, here), "utf8") !== outputs[name];
    } catch {
      return true;
    }
  });
  if (stale.length) {
    console.error(`out of date: ${stale.join(", ")}; run node web/build.mjs`);
    process.exit(1);
  }
  console.log("web build up to date");
} else {
  for (const [name, text] of Object.entries(outputs))
    writeFileSync(new URL(name, here), text);
}
