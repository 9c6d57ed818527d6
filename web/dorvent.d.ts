// Generated from dorvent.mjs's ACTIONS by build.mjs: edit that file and run `node web/build.mjs`.

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
  open: {};
  beep: {};
  version: {};
  collectFingerPrint: {};
  ctnFingerPrint: {};
  close: {};
  serviceStatus: {};
  cardClodPowerOn: { slotNo: Field };
  cardHotPowerOn: { slotNo: Field };
  cardRun: { slotNo: Field; apdu: Field };
  cardPowerOff: { slotNo: Field };
  mcardPowerOn: {};
  mcardRun: { apdu: Field };
  mcardPowerOff: {};
  closeAnt: {};
  openAnt: {};
  readIDCardUID: {};
  readIDCard: {};
  readIDCardEX: {};
  cardm1Find: {};
  cardm1Auth: { addr: Field; key: Field; keyType: Field };
  cardm1Read: { addr: Field };
  cardm1Write: { addr: Field; data: Field };
  cardm1NumInit: { addr: Field; numInit: Field };
  cardm1NumAdd: { addr: Field; numValue: Field };
  cardm1NumDe: { addr: Field; numValue: Field };
  cardm1NumRead: { addr: Field };
  card15693Find: {};
  card15693Info: {};
  card15693Read: { addr: Field };
  card15693Write: { addr: Field; data: Field };
  card15693WriteAFI: { afidsiddata: Field };
  card15693WriteDSFID: { afidsiddata: Field };
  card15693Lock: { addr: Field };
  card15693LockAFI: {};
  card15693LockDSFID: {};
  card44PowerOn: { type: Field };
  card44AuthNum: { type: Field };
  card44AuthPIN: { type: Field; key: Field };
  card44Read: { type: Field; offset: Field; size: Field };
  card44Write: { type: Field; offset: Field; size: Field; data: Field };
  card44ReadePro: { type: Field; offset: Field; size: Field };
  card44WritePro: { type: Field; offset: Field; size: Field; data: Field };
  card44EditPIN: { type: Field; key: Field };
  card44PowerOff: { type: Field };
  scardSet: { outType: Field; mgNum: Field; outInfo: Field; appendEnter: Field };
  scardGet: {};
  scardRead: { outTime: Field; mgNum: Field };
  readBankNO: {};
  readSci: { slotNo: Field };
}

/** What each action resolves with (null: the service never answers it). */
export interface Replies {
  open: Reply<"open">;
  beep: Reply<"beep">;
  version: Reply<"version">;
  collectFingerPrint: null;
  ctnFingerPrint: null;
  close: Reply<"close">;
  serviceStatus: Reply<"serviceStatus"> & { serviceVersion: string; readerPresent: boolean | null; readerOpen: boolean; readerFirmware: string; readerOpenedAt: string };
  cardClodPowerOn: Reply<"cardClodPowerOn">;
  cardHotPowerOn: Reply<"cardHotPowerOn">;
  cardRun: Reply<"cardRun">;
  cardPowerOff: Reply<"cardPowerOff">;
  mcardPowerOn: Reply<"mcardPowerOn">;
  mcardRun: Reply<"mcardRun">;
  mcardPowerOff: Reply<"mcardPowerOff">;
  closeAnt: Reply<"closeAnt">;
  openAnt: Reply<"openAnt">;
  readIDCardUID: Reply<"readIDCardUID">;
  readIDCard: Reply<"readIDCard"> & { name: string; ENfullname: string; sex: string; people: string; birthday: string; signdate: string; validterm: string; number: string; organs: string; certType: string; certVersion: string; passNu: string; signCount: string; photoBase64: string };
  readIDCardEX: Reply<"readIDCardEX"> & { name: string; ENfullname: string; sex: string; people: string; birthday: string; signdate: string; validterm: string; number: string; organs: string; certType: string; certVersion: string; passNu: string; signCount: string; photoBase64: string; figData?: string };
  cardm1Find: Reply<"cardm1Find">;
  cardm1Auth: Reply<"cardm1Auth">;
  cardm1Read: Reply<"cardm1Read">;
  cardm1Write: Reply<"cardm1Write">;
  cardm1NumInit: Reply<"cardm1NumInit">;
  cardm1NumAdd: Reply<"cardm1NumAdd">;
  cardm1NumDe: Reply<"cardm1NumDe">;
  cardm1NumRead: Reply<"cardm1NumRead">;
  card15693Find: Reply<"card15693Find">;
  card15693Info: Reply<"card15693Info">;
  card15693Read: Reply<"card15693Read">;
  card15693Write: Reply<"card15693Write">;
  card15693WriteAFI: Reply<"card15693WriteAFI">;
  card15693WriteDSFID: Reply<"card15693WriteDSFID">;
  card15693Lock: Reply<"card15693Lock">;
  card15693LockAFI: Reply<"card15693LockAFI">;
  card15693LockDSFID: Reply<"card15693LockDSFID">;
  card44PowerOn: Reply<"card44PowerOn">;
  card44AuthNum: Reply<"card44AuthNum">;
  card44AuthPIN: Reply<"card44AuthPIN">;
  card44Read: Reply<"card44Read">;
  card44Write: Reply<"card44Write">;
  card44ReadePro: Reply<"card44ReadePro">;
  card44WritePro: Reply<"card44WritePro">;
  card44EditPIN: Reply<"card44EditPIN">;
  card44PowerOff: Reply<"card44PowerOff">;
  scardSet: Reply<"scardSet">;
  scardGet: Reply<"scardGet">;
  scardRead: Reply<"scardRead">;
  readBankNO: Reply<"readBankNO">;
  readSci: Reply<"readSci"> & { name: string; sex: string; nation: string; birthday: string; signdate: string; validterm: string; cardnumber: string; idnumber: string; city: string; cardveVrsion: string };
}

export type ActionName = keyof Requests;
export type SilentAction = "collectFingerPrint" | "ctnFingerPrint";

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
