// Client for the Dorvent service: calls its actions over the local WebSocket.
//
// Every reply echoes the request's "_tflag", so each call gets a tag of its
// own and its reply is found by that tag, whatever order replies come in.
// Every call settles: with the reply, or with a DorventError naming why not.

export const DEFAULT_URL = "ws://localhost:17798";
export const DEFAULT_TIMEOUT_MS = 15000;

// The service's fixed texts and codes that the client acts upon.
const kNotOpenMsg = "端口未打开";
const kNotClosedMsg = "端口未关闭";
const kReaderGoneCode = -31; // the reader a page opened left the USB bus; it is opened again when back

// The card families, in the order the demo page shows them. "card": the
// emulated card its buttons need, and where (dorvent-emu's demo deck holds
// the Type A CPU card in the field; one card is in the field at a time).
export const FAMILIES = [
  { id: "reader", title: "Reader" },
  { id: "cpu", title: "CPU cards and the radio field" },
  { id: "idcard", title: "Resident identity card" },
  { id: "m1", title: "M1 cards", card: { place: "field", card: "m1" } },
  { id: "iso15693", title: "ISO 15693 cards", card: { place: "field", card: "iso15693" } },
  { id: "memory", title: "4442 and 4428 memory cards" },
  { id: "stripe", title: "Magnetic stripe" },
  { id: "bank", title: "Bank and social-security cards", card: { place: "field", card: "bank" } },
];

const kIdCardKeys = ["name", "ENfullname", "sex", "people", "birthday", "signdate", "validterm",
  "number", "organs", "certType", "certVersion", "passNu", "signCount", "photoBase64"];
const kSciKeys = ["name", "sex", "nation", "birthday", "signdate", "validterm", "cardnumber",
  "idnumber", "city", "cardveVrsion"];

// Every action: its family, a line saying what it does, its request keys
// with values that work on the emulated reader's demo deck, and the keys its
// success reply adds to the envelope. "silent": the service never answers
// it. "waits": the request key holding the seconds the service may wait for
// the user. "first": the actions that must have succeeded before it, in order.
export const ACTIONS = [
  { act: "open", family: "reader", about: "Opens the reader for every client; -1 端口未关闭 when it is open already." },
  { act: "beep", family: "reader", about: "Sounds the reader's buzzer." },
  { act: "version", family: "reader", about: "The reader's firmware version text.", reply: ["data"] },
  { act: "collectFingerPrint", family: "reader", about: "Never answered: the call resolves with null once sent.", silent: true },
  { act: "ctnFingerPrint", family: "reader", about: "Never answered: the call resolves with null once sent.", silent: true },
  { act: "close", family: "reader", about: "Closes the reader for every client." },
  { act: "serviceStatus", family: "reader", about: "The service's own action, not the reader's: its version, whether the reader is present and open (open stays true while an opened reader is unplugged), its firmware text and when it was last opened.",
    reply: ["serviceVersion", "readerPresent", "readerOpen", "readerFirmware", "readerOpenedAt"] },

  { act: "cardClodPowerOn", family: "cpu", about: "Powers the contact card in slotNo on; answers its answer to reset (ATR).",
    request: { slotNo: "1" }, reply: ["data"] },
  { act: "cardHotPowerOn", family: "cpu", about: "Resets the powered contact card in slotNo; answers its ATR.",
    request: { slotNo: "1" }, reply: ["data"] },
  { act: "cardRun", family: "cpu", about: "Sends an APDU to the contact card in slotNo; answers its response and status word.",
    request: { slotNo: "1", apdu: "00A4040006D15600000100" }, reply: ["data"], first: ["cardClodPowerOn"] },
  { act: "cardPowerOff", family: "cpu", about: "Powers the contact card in slotNo off.", request: { slotNo: "1" } },
  { act: "mcardPowerOn", family: "cpu", about: "Switches the radio field on and activates the Type A card; answers its ATS.", reply: ["data"] },
  { act: "mcardRun", family: "cpu", about: "Sends an APDU to the activated contactless card; answers its response and status word.",
    request: { apdu: "00A4040006D15600000100" }, reply: ["data"], first: ["mcardPowerOn"] },
  { act: "mcardPowerOff", family: "cpu", about: "Switches the radio field off." },
  { act: "closeAnt", family: "cpu", about: "Switches the radio field off." },
  { act: "openAnt", family: "cpu", about: "Switches the radio field on." },

  { act: "readIDCardUID", family: "idcard", about: "The identity card's chip UID.", reply: ["data"] },
  { act: "readIDCard", family: "idcard", about: "The identity card's fields and photo (JPEG in Base64).", reply: kIdCardKeys },
  { act: "readIDCardEX", family: "idcard", about: "As readIDCard, with the fingerprint block when the card has one.",
    reply: [...kIdCardKeys, "figData"] },

  { act: "cardm1Find", family: "m1", about: "Finds the M1 card in the field; answers its UID.", reply: ["data"] },
  { act: "cardm1Auth", family: "m1", about: "Opens the sector of block addr with key A or B.",
    request: { addr: "4", key: "FFFFFFFFFFFF", keyType: "A" }, first: ["cardm1Find"] },
  { act: "cardm1Read", family: "m1", about: "Reads the 16 bytes of block addr.",
    request: { addr: "4" }, reply: ["data"], first: ["cardm1Find", "cardm1Auth"] },
  { act: "cardm1Write", family: "m1", about: "Writes 16 bytes into block addr.",
    request: { addr: "4", data: "00112233445566778899AABBCCDDEEFF" }, first: ["cardm1Find", "cardm1Auth"] },
  { act: "cardm1NumInit", family: "m1", about: "Makes block addr a value block holding numInit.",
    request: { addr: "5", numInit: "100" }, first: ["cardm1Find", "cardm1Auth"] },
  { act: "cardm1NumAdd", family: "m1", about: "Adds numValue to the value block addr.",
    request: { addr: "5", numValue: "10" }, first: ["cardm1Find", "cardm1Auth"] },
  { act: "cardm1NumDe", family: "m1", about: "Takes numValue from the value block addr.",
    request: { addr: "5", numValue: "1" }, first: ["cardm1Find", "cardm1Auth"] },
  { act: "cardm1NumRead", family: "m1", about: "The value block addr as a decimal number.",
    request: { addr: "5" }, reply: ["data"], first: ["cardm1Find", "cardm1Auth"] },

  { act: "card15693Find", family: "iso15693", about: "Finds the ISO 15693 tag in the field; answers the inventory answer.", reply: ["data"] },
  { act: "card15693Info", family: "iso15693", about: "The tag's system information.", reply: ["data"] },
  { act: "card15693Read", family: "iso15693", about: "Reads the 4 bytes of block addr.",
    request: { addr: "1" }, reply: ["data"] },
  { act: "card15693Write", family: "iso15693", about: "Writes 4 bytes into block addr.",
    request: { addr: "1", data: "11223344" } },
  { act: "card15693WriteAFI", family: "iso15693", about: "Writes the tag's AFI.", request: { afidsiddata: "7" } },
  { act: "card15693WriteDSFID", family: "iso15693", about: "Writes the tag's DSFID.", request: { afidsiddata: "7" } },
  { act: "card15693Lock", family: "iso15693", about: "Locks block addr for good.", request: { addr: "1" } },
  { act: "card15693LockAFI", family: "iso15693", about: "Locks the AFI for good." },
  { act: "card15693LockDSFID", family: "iso15693", about: "Locks the DSFID for good." },

  { act: "card44PowerOn", family: "memory", about: "Powers the 4442 or 4428 card on; answers its answer to reset.",
    request: { type: "4442" }, reply: ["data"] },
  { act: "card44AuthNum", family: "memory", about: "The PIN attempts left.",
    request: { type: "4442" }, reply: ["data"], first: ["card44PowerOn"] },
  { act: "card44AuthPIN", family: "memory", about: "Presents the PIN (key, hex), which writing needs.",
    request: { type: "4442", key: "FFFFFF" }, first: ["card44PowerOn"] },
  { act: "card44Read", family: "memory", about: "Reads size bytes from offset.",
    request: { type: "4442", offset: "32", size: "16" }, reply: ["data"], first: ["card44PowerOn"] },
  { act: "card44Write", family: "memory", about: "Writes size bytes of data at offset.",
    request: { type: "4442", offset: "32", size: "4", data: "11223344" }, first: ["card44PowerOn", "card44AuthPIN"] },
  { act: "card44ReadePro", family: "memory", about: "The protection bits from offset, one per byte: 00 protected, 01 writable.",
    request: { type: "4442", offset: "0", size: "32" }, reply: ["data"], first: ["card44PowerOn"] },
  { act: "card44WritePro", family: "memory", about: "Protects size bytes from offset for good (data: their present values).",
    request: { type: "4442", offset: "0", size: "1", data: "A2" }, first: ["card44PowerOn", "card44AuthPIN"] },
  { act: "card44EditPIN", family: "memory", about: "Changes the PIN to key.",
    request: { type: "4442", key: "FFFFFF" }, first: ["card44PowerOn", "card44AuthPIN"] },
  { act: "card44PowerOff", family: "memory", about: "Powers the memory card off.", request: { type: "4442" } },

  { act: "scardSet", family: "stripe", about: "Sets the stripe head: outType, tracks (mgNum), content (outInfo), line ending.",
    request: { outType: "1", mgNum: "4", outInfo: "0", appendEnter: "0" } },
  { act: "scardGet", family: "stripe", about: "The stripe head's settings, as text.", reply: ["data"] },
  { act: "scardRead", family: "stripe", about: "Waits up to outTime seconds for a swipe; answers the tracks (hex).",
    request: { outTime: "10", mgNum: "4" }, reply: ["data"], waits: "outTime" },

  { act: "readBankNO", family: "bank", about: "The bank card's account number (the card in the field, else in slot 1).", reply: ["data"] },
  { act: "readSci", family: "bank", about: "The social-security card's fields (the card in slot 1, else the field; its SAM in slotNo).",
    request: { slotNo: "11" }, reply: kSciKeys },
];

// The result codes as page authors meet them in "success".
// BEGIN result codes: written by tools/resultcodedoc from the driver's table; edit it there.
export const RESULT_CODES = [
  { code: 0, name: "Ok",
    meaning: "success",
    meaningZh: "成功",
    advice: "Use the reply." },
  { code: -1, name: "Failed",
    meaning: "failed without a finer code: the reader is not open (msg 端口未打开), a request value is not accepted (msg names it: 入参), open found no reader, a malformed power-off reply, a Type A activation step failed, or the stripe read failed",
    meaningZh: "失败，无更细的代码：读卡器未打开（msg 为“端口未打开”）、请求参数不被接受（msg 中有“入参”）、打开时未找到读卡器、下电应答有误、TypeA 卡激活某一步失败或磁条读取失败",
    advice: "端口未打开: call open (ensureOpen) and send again. A msg with 入参: fix that request value. Otherwise check the reader and the card, then try again." },
  { code: -2, name: "NoCard",
    meaning: "no card: the identity-card SAM found or selected none, or no stripe was swiped within the time limit",
    meaningZh: "无卡：身份证模块未找到或未选中卡片，或在限定时间内未刷磁条卡",
    advice: "Ask the user to place the card (or swipe it) and try again." },
  { code: -4, name: "NoCardResponse",
    meaning: "the card gave nothing: the reader refused a contact power-on (no card in that slot, or inserted the wrong way), or no card was swiped with a time limit of 0",
    meaningZh: "卡片无应答：读卡器拒绝接触式上电（该卡座无卡或插反），或时限为 0 时未刷卡",
    advice: "Ask the user to insert the card, chip first and facing up; power it on again." },
  { code: -12, name: "NotOpen",
    meaning: "no reader open: nothing was sent",
    meaningZh: "读卡器未打开：未发送任何命令",
    advice: "Open the reader (ensureOpen), then send again." },
  { code: -14, name: "BadParameter",
    meaning: "a parameter out of range or too long for its buffer, or an M1 value block that fails its check",
    meaningZh: "参数超出范围或超过缓冲区长度，或 M1 值块校验不符",
    advice: "Fix the request: the action's keys give the ranges. For an M1 value block, initialise it first." },
  { code: -15, name: "TransferFailed",
    meaning: "a transfer failed, or a single-report reply was malformed: the reader stopped answering (an opened reader that was unplugged answers -31)",
    meaningZh: "USB 传输失败或单包应答格式有误：读卡器不再应答（已打开的读卡器被拔出时答 -31）",
    advice: "Check the reader's cable; if it goes on, close and open it again (reopen)." },
  { code: -20, name: "StatusError",
    meaning: "a multi-report or contactless reply whose status is not 0x00, or a reader that stayed busy: most often no card powered on (an APDU before the power-on) or no card there",
    meaningZh: "多包或非接应答的状态字节不为 0x00，或读卡器一直忙：最常见的是卡片未上电（先发了 APDU）或没有卡",
    advice: "Power the card on first (cardClodPowerOn, mcardPowerOn, card44PowerOn), check that it is there, then try again." },
  { code: -21, name: "SingleStatusError",
    meaning: "a single-report reply whose status is not 0x00: the reader refused the command, most often for lack of a card of that kind",
    meaningZh: "单包应答的状态字节不为 0x00：读卡器拒绝该命令，多为没有相应类型的卡",
    advice: "Check the card's kind (the request's type) and that it is inserted, then try again." },
  { code: -23, name: "IdCardReadFailed",
    meaning: "identity card: finding, selecting or reading it failed (the message says which step; 寻卡失败 with t_nRe = -2 is no card on the reader)",
    meaningZh: "身份证寻卡、选卡或读卡失败（msg 说明哪一步；寻卡失败且 t_nRe = -2 即读卡器上没有身份证）",
    advice: "Ask the holder to lay the card flat on the reader and try again." },
  { code: -30, name: "ReaderBusy",
    meaning: "the reader is held by another request that waits for a swipe; nothing was sent",
    meaningZh: "读卡器正被另一个等待刷卡的请求占用：未发送任何命令",
    advice: "Send again once the swipe wait is over." },
  { code: -31, name: "ReaderGone",
    meaning: "the reader that was opened has left the USB bus (unplugged, or lost in a suspend) and is not back yet; nothing was sent. The service opens it again by itself when it returns",
    meaningZh: "已打开的读卡器已离开 USB 总线（被拔出或在休眠中丢失），尚未回来：未发送任何命令。读卡器回来后服务会自动重新打开",
    advice: "Ask the user to plug the reader in, then send again: no close and open are needed. serviceStatus says when it is back (readerPresent)." },
  { code: -32, name: "ReplayMismatch",
    meaning: "dorvent-emu replaying a recorded session only: the service sent the reader a frame the recording does not have at that step (its stderr shows both frames); the real service never answers this",
    meaningZh: "仅在 dorvent-emu 回放记录的会话时出现：服务发给读卡器的帧与记录中该步骤不符（其标准错误输出列出两帧）；真实服务从不返回此代码",
    advice: "Compare the request with the recorded one (dorvent-trace diff); the next request starts afresh." },
  { code: -100, name: "NoValidReply",
    meaning: "no usable answer: the version request got a malformed reply or none, no social-security card was found, or one refused its authentication without a status word",
    meaningZh: "无有效应答：获取版本时应答有误或无应答、未找到社保卡，或社保卡认证失败且无状态字",
    advice: "Check that the card is inserted (social-security card: slot 1 or the field), then try again." },
  { code: -200, name: "BankCardNotRead",
    meaning: "the bank-card number was not read: no bank card in the field or in slot 1, or the card has no payment application",
    meaningZh: "未读到银行卡号：感应区和卡座 1 都没有银行卡，或卡片没有支付应用",
    advice: "Ask the user to place the bank card on the reader (or insert it) and try again." },
];
export const RESULT_RANGES = [
  { lowest: 1, highest: 2147483647, name: "Count",
    meaning: "a length or count; from power-off, the reader's refusal code (not a success)",
    meaningZh: "长度或计数；下电时为读卡器的拒绝代码（并非成功）",
    advice: "Take it as a failure of that action: the msg says which." },
  { lowest: -2147483648, highest: -24576, name: "CardStatusWord",
    meaning: "the card refused: minus its status word (-25538 is -0x63C2: status word 63C2)",
    meaningZh: "卡片拒绝：其状态字取负（-25538 即 -0x63C2，状态字 63C2）",
    advice: "Look the status word up for that card: 63Cx is a wrong key or PIN with x tries left (do not retry blindly), 6A82 a file or application the card does not have." },
  { lowest: -24575, highest: -1, name: "UsbError",
    meaning: "a libusb error passed through by open (-6: another program holds the reader)",
    meaningZh: "打开读卡器时 libusb 的错误代码（-6：读卡器被其他程序占用）",
    advice: "Run dorvent-doctor on that machine: it says what holds or hides the reader." },
];
// END result codes

// What a reply's "success" means: its row, or for a number outside the
// table the row of its range (a card's refusal gives its status word too).
export function resultCode(code) {
  const row = RESULT_CODES.find((r) => r.code === code);
  if (row)
    return Object.assign({}, row);
  const range = RESULT_RANGES.find((r) => code >= r.lowest && code <= r.highest);
  if (!range)
    return { code, name: "Unknown", meaning: "not a result code", meaningZh: "不是结果代码", advice: "" };
  const result = { code, name: range.name, meaning: range.meaning, meaningZh: range.meaningZh, advice: range.advice };
  if (range.name === "CardStatusWord")
    result.statusWord = (-code).toString(16).toUpperCase().padStart(4, "0");
  return result;
}

const kActions = new Map(ACTIONS.map((row) => [row.act, row]));

// Close codes a page author meets, by name.
const kCloseCodes = {
  1000: "normal closure",
  1001: "going away",
  1002: "protocol error",
  1003: "unsupported data",
  1006: "abnormal closure, no close frame",
  1007: "invalid payload",
  1008: "policy violation",
  1009: "message too big",
  1011: "internal error",
};

export function closeCodeName(code) {
  return kCloseCodes[code] || "close code";
}

// Why a call did not give a reply. kind is one of:
//   "failed"     the service answered success < 0 (code, msg, action, reply;
//                name, meaning, meaningZh, advice from the result codes)
//   "unknown"    the service sent the request back: it does not know the action
//   "not-json"   the answer was text but no JSON object (text)
//   "binary"     the answer was a binary frame
//   "closed"     the connection closed first (closeCode, closeReason)
//   "timeout"    no answer within timeoutMs
//   "unreachable" no connection could be made
//   "refused"    the request was not sent (a single quote, a bad action name)
// "name" is the result code's name for "failed" (as DOMException names its
// kinds), "DorventError" for the rest.
export class DorventError extends Error {
  constructor(kind, message, details = {}) {
    super(message);
    this.name = "DorventError";
    this.kind = kind;
    Object.assign(this, details);
  }
}

export class DorventClient {
  // options: url, timeoutMs (the default for every call), WebSocket (a
  // constructor, for runtimes without a global one).
  constructor(options = {}) {
    this.url = options.url || DEFAULT_URL;
    this.timeoutMs = options.timeoutMs || DEFAULT_TIMEOUT_MS;
    this._WebSocket = options.WebSocket || globalThis.WebSocket;
    this._socket = null;
    this._connecting = null;
    this._pending = new Map(); // tag -> { act, resolve, reject, timer, raw, socket once sent }
    this._lastTag = 0;
    this._connections = 0;
    this._mustReopen = false;
    this._readerGone = false;
    this._listeners = {};
  }

  // True while a connection is open.
  get connected() {
    return !!this._socket && this._socket.readyState === 1;
  }

  // True after a new connection replaced a lost one and no "open" has
  // succeeded since: the service may have restarted with the reader closed.
  get mustReopen() {
    return this._mustReopen;
  }

  // True after a reply said that the opened reader left the USB bus, until
  // a later reply (of any call, or of status()) shows it back.
  get readerGone() {
    return this._readerGone;
  }

  // Events: "reconnect" (a lost connection was replaced; open the reader
  // again), "close" ({code, reason}), "stray" (a reply whose call is gone,
  // e.g. after its timeout), "readergone" and "readerback" ({action, reply}:
  // a reply of this client's own calls says that the opened reader was
  // unplugged, or that it is back; the service opens it again by itself).
  on(event, listener) {
    (this._listeners[event] = this._listeners[event] || []).push(listener);
    return this;
  }

  off(event, listener) {
    this._listeners[event] = (this._listeners[event] || []).filter((l) => l !== listener);
    return this;
  }

  _emit(event, value) {
    for (const listener of this._listeners[event] || []) {
      try {
        listener(value);
      } catch (e) {
        setTimeout(() => { throw e; });
      }
    }
  }

  // Opens the connection (calls do it themselves when needed).
  connect() {
    if (this.connected)
      return Promise.resolve();
    if (this._connecting)
      return this._connecting;
    if (!this._WebSocket)
      return Promise.reject(new DorventError("unreachable",
        "no WebSocket in this runtime: use Node 22 or later, or pass options.WebSocket"));
    let socket;
    try {
      socket = new this._WebSocket(this.url);
    } catch (e) {
      return Promise.reject(new DorventError("unreachable", `cannot connect to ${this.url}: ${e.message}`));
    }
    socket.binaryType = "arraybuffer";
    this._socket = socket;
    this._connecting = new Promise((resolve, reject) => {
      socket.onopen = () => {
        this._connecting = null;
        if (++this._connections > 1) {
          this._mustReopen = true;
          this._emit("reconnect", { url: this.url, message: "connected again: open the reader again before using it" });
        }
        resolve();
      };
      socket.onclose = (event) => {
        if (this._connecting && this._socket === socket) {
          this._connecting = null;
          this._socket = null;
          reject(new DorventError("unreachable", `cannot connect to ${this.url} (${event.code} ${closeCodeName(event.code)}): is the service running?`,
            { closeCode: event.code }));
          return;
        }
        this._closed(socket, event);
      };
    });
    socket.onmessage = (event) => this._received(socket, event.data);
    return this._connecting;
  }

  // Closes the connection; calls still waiting fail with "closed".
  disconnect() {
    if (this._socket)
      this._socket.close(1000);
  }

  // Sends {"_act": act, ...fields} and resolves with the reply object.
  // options: timeoutMs; raw (resolve with replies whose success < 0 too);
  // onSend (called with the exact text sent, "_tflag" included).
  // Actions the service never answers resolve with null once sent.
  call(act, fields = {}, options = {}) {
    const refused = this._refusal(act, fields);
    if (refused)
      return Promise.reject(refused);
    const row = kActions.get(act);
    const timeoutMs = this._timeoutFor(row, fields, options);
    return new Promise((resolve, reject) => {
      const tag = `d${++this._lastTag}`;
      const pending = { act, raw: !!options.raw, resolve, reject, timer: null };
      pending.timer = setTimeout(() => {
        this._pending.delete(tag);
        reject(new DorventError("timeout", `${act}: no reply within ${timeoutMs} ms`, { action: act, timeoutMs }));
      }, timeoutMs);
      const settle = (fn) => (value) => {
        clearTimeout(pending.timer);
        this._pending.delete(tag);
        fn(value);
      };
      pending.resolve = settle(resolve);
      pending.reject = settle(reject);
      this._pending.set(tag, pending);

      this.connect().then(() => {
        if (!this._pending.has(tag))
          return; // timed out while connecting
        const socket = this._socket;
        if (!socket || socket.readyState !== 1)
          return pending.reject(new DorventError("closed", `${act}: the connection closed before sending`, { action: act }));
        const request = Object.assign({ _act: act }, fields, { _act: act, _tflag: tag });
        pending.socket = socket;
        const text = JSON.stringify(request);
        socket.send(text);
        if (options.onSend)
          options.onSend(text);
        if (row && row.silent)
          pending.resolve(null);
      }, (error) => pending.reject(error));
    });
  }

  // The same as call, for an action this client's table does not list (its
  // TypeScript declarations accept only listed names in call).
  callAny(act, fields = {}, options = {}) {
    return this.call(act, fields, options);
  }

  // Opens the reader. One that is open already must also answer: its
  // firmware version is asked for, so a reader that is unplugged (-31,
  // ReaderGone) or does not answer rejects here rather than at the next call.
  async ensureOpen(options = {}) {
    const raw = Object.assign({}, options, { raw: true });
    const reply = await this.call("open", {}, raw);
    if (reply.success !== 0 && reply.msg !== kNotClosedMsg)
      throw this._failure("open", reply);
    if (reply.success !== 0) {
      const version = await this.call("version", {}, raw);
      if (version.success !== 0)
        throw this._failure("version", version);
    }
    this._mustReopen = false;
    return reply;
  }

  // The service's version and the reader's state (serviceStatus); it also
  // tells whether an unplugged reader is back ("readerback").
  status(options = {}) {
    return this.call("serviceStatus", {}, options);
  }

  // Closes and opens the reader, for every client: for a reader that stopped
  // answering. An unplugged reader needs none of it: the service opens it
  // again when it is back.
  async reopen(options = {}) {
    await this.call("close", {}, Object.assign({}, options, { raw: true }));
    return this.call("open", {}, options);
  }

  _refusal(act, fields) {
    if (typeof act !== "string" || act === "")
      return new DorventError("refused", "the action must be a non-empty text", { action: act });
    if (fields === null || typeof fields !== "object")
      return new DorventError("refused", `${act}: the request fields must be an object`, { action: act });
    // The service turns every ' into ", which would break the request.
    for (const [key, value] of [["_act", act], ...Object.entries(fields)]) {
      if (String(key).includes("'") || String(value).includes("'"))
        return new DorventError("refused",
          `${act}: "${key}" holds a single quote, which the service turns into a double quote; not sent`,
          { action: act, key });
    }
    return null;
  }

  _timeoutFor(row, fields, options) {
    if (options.timeoutMs)
      return options.timeoutMs;
    const seconds = row && row.waits ? Number(fields[row.waits]) : 0;
    return (seconds > 0 ? seconds * 1000 : 0) + this.timeoutMs;
  }

  _failure(act, reply) {
    const result = resultCode(reply.success);
    let text = `${act} failed: ${reply.success} ${reply.msg} (${result.name}: ${result.meaning})`;
    if (reply.msg === kNotOpenMsg && this._mustReopen)
      text += "; the connection was made anew, so the service may have restarted: open the reader again";
    const error = new DorventError("failed", text, { action: act, code: reply.success, msg: reply.msg, reply,
      meaning: result.meaning, meaningZh: result.meaningZh, advice: result.advice });
    error.name = result.name;
    if (result.statusWord)
      error.statusWord = result.statusWord;
    return error;
  }

  // Tags are unique across connections, so a reply still counts when it
  // arrives on a connection that is being replaced.
  _received(socket, data) {
    if (typeof data !== "string")
      return this._settleUntagged(socket, null, "binary", "the service answered with a binary frame");
    let reply;
    try {
      reply = JSON.parse(data);
    } catch (e) {
      reply = undefined;
    }
    if (!reply || typeof reply !== "object" || Array.isArray(reply)) {
      // An echo of a request that the service could not read still carries our tag.
      const tag = /"_tflag"\s*:\s*"([^"]*)"/.exec(data);
      return this._settleUntagged(socket, tag && tag[1], "not-json", `the answer is not a JSON object: ${data.slice(0, 80)}`, { text: data });
    }
    const pending = this._pending.get(String(reply._tflag));
    if (!pending) {
      this._emit("stray", reply);
      return;
    }
    if (!("functionName" in reply) && !("success" in reply)) {
      pending.reject(new DorventError("unknown", `${pending.act}: the service does not know this action (it sent the request back)`,
        { action: pending.act, reply }));
      return;
    }
    this._watchReader(pending.act, reply);
    if (typeof reply.success === "number" && reply.success < 0 && !pending.raw) {
      pending.reject(this._failure(pending.act, reply));
      return;
    }
    if (reply.functionName === "open" && reply.success === 0)
      this._mustReopen = false;
    pending.resolve(reply);
  }

  // Whether a reply shows the opened reader gone or back: "readergone" and
  // "readerback" when that changes. Any other answer of an action on the
  // reader means the service found it there; replies that never needed it
  // (not open, a close, an open that found no reader) tell nothing.
  _watchReader(act, reply) {
    let gone;
    if (act === "serviceStatus" && reply.success === 0) {
      if (reply.readerPresent === true)
        gone = false;
      else if (reply.readerOpen === true && reply.readerPresent === false)
        gone = true;
      else
        return;
    } else if (reply.success === kReaderGoneCode) {
      gone = true;
    } else if (reply.msg === kNotOpenMsg || act === "close" || (act === "open" && reply.success !== 0 && reply.msg !== kNotClosedMsg)) {
      return;
    } else {
      gone = false;
    }
    if (gone === this._readerGone)
      return;
    this._readerGone = gone;
    this._emit(gone ? "readergone" : "readerback", { action: act, reply });
  }

  // An answer without a readable tag: the service answers in order, so it
  // belongs to the oldest call still waiting on that connection.
  _settleUntagged(socket, tag, kind, message, details = {}) {
    const entry = (tag && this._pending.get(tag)) || [...this._pending.values()].find((p) => p.socket === socket);
    if (!entry) {
      this._emit("stray", details.text);
      return;
    }
    entry.reject(new DorventError(kind, `${entry.act}: ${message}`, Object.assign({ action: entry.act }, details)));
  }

  _closed(socket, event) {
    if (socket === this._socket)
      this._socket = null;
    const detail = `${event.code} ${closeCodeName(event.code)}${event.reason ? ": " + event.reason : ""}`;
    for (const pending of [...this._pending.values()].filter((p) => p.socket === socket))
      pending.reject(new DorventError("closed", `${pending.act}: the connection closed (${detail})`,
        { action: pending.act, closeCode: event.code, closeReason: event.reason }));
    if (!this._socket)
      this._emit("close", { code: event.code, reason: event.reason });
  }
}

// Shorthands for the common actions.
for (const name of ["open", "close", "beep", "version"]) {
  DorventClient.prototype[name] = function (options) {
    return this.call(name, {}, options);
  };
}
