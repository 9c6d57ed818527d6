// Client for the Dorvent service: calls its actions over the local WebSocket.
//
// Every reply echoes the request's "_tflag", so each call gets a tag of its
// own and its reply is found by that tag, whatever order replies come in.
// Every call settles: with the reply, or with a DorventError naming why not.

export const DEFAULT_URL = "ws://localhost:17798";
export const DEFAULT_TIMEOUT_MS = 15000;

// The service's fixed texts that the client acts upon.
const kNotOpenMsg = "端口未打开";
const kNotClosedMsg = "端口未关闭";

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

// Every action: its family, its request keys with values that work on the
// emulated reader's demo deck, and the keys its success reply adds to the
// envelope. "silent": the service never answers it. "waits": the request
// key holding the seconds the service may wait for the user.
export const ACTIONS = [
  { act: "open", family: "reader" },
  { act: "beep", family: "reader" },
  { act: "version", family: "reader", reply: ["data"] },
  { act: "collectFingerPrint", family: "reader", silent: true },
  { act: "ctnFingerPrint", family: "reader", silent: true },
  { act: "close", family: "reader" },

  { act: "cardClodPowerOn", family: "cpu", request: { slotNo: "1" }, reply: ["data"] },
  { act: "cardHotPowerOn", family: "cpu", request: { slotNo: "1" }, reply: ["data"] },
  { act: "cardRun", family: "cpu", request: { slotNo: "1", apdu: "00A4040006D15600000100" }, reply: ["data"] },
  { act: "cardPowerOff", family: "cpu", request: { slotNo: "1" } },
  { act: "mcardPowerOn", family: "cpu", reply: ["data"] },
  { act: "mcardRun", family: "cpu", request: { apdu: "00A4040006D15600000100" }, reply: ["data"] },
  { act: "mcardPowerOff", family: "cpu" },
  { act: "closeAnt", family: "cpu" },
  { act: "openAnt", family: "cpu" },

  { act: "readIDCardUID", family: "idcard", reply: ["data"] },
  { act: "readIDCard", family: "idcard", reply: kIdCardKeys },
  { act: "readIDCardEX", family: "idcard", reply: [...kIdCardKeys, "figData"] },

  { act: "cardm1Find", family: "m1", reply: ["data"] },
  { act: "cardm1Auth", family: "m1", request: { addr: "4", key: "FFFFFFFFFFFF", keyType: "A" } },
  { act: "cardm1Read", family: "m1", request: { addr: "4" }, reply: ["data"] },
  { act: "cardm1Write", family: "m1", request: { addr: "4", data: "00112233445566778899AABBCCDDEEFF" } },
  { act: "cardm1NumInit", family: "m1", request: { addr: "5", numInit: "100" } },
  { act: "cardm1NumAdd", family: "m1", request: { addr: "5", numValue: "10" } },
  { act: "cardm1NumDe", family: "m1", request: { addr: "5", numValue: "1" } },
  { act: "cardm1NumRead", family: "m1", request: { addr: "5" }, reply: ["data"] },

  { act: "card15693Find", family: "iso15693", reply: ["data"] },
  { act: "card15693Info", family: "iso15693", reply: ["data"] },
  { act: "card15693Read", family: "iso15693", request: { addr: "1" }, reply: ["data"] },
  { act: "card15693Write", family: "iso15693", request: { addr: "1", data: "11223344" } },
  { act: "card15693WriteAFI", family: "iso15693", request: { afidsiddata: "7" } },
  { act: "card15693WriteDSFID", family: "iso15693", request: { afidsiddata: "7" } },
  { act: "card15693Lock", family: "iso15693", request: { addr: "1" } },
  { act: "card15693LockAFI", family: "iso15693" },
  { act: "card15693LockDSFID", family: "iso15693" },

  { act: "card44PowerOn", family: "memory", request: { type: "4442" }, reply: ["data"] },
  { act: "card44AuthNum", family: "memory", request: { type: "4442" }, reply: ["data"] },
  { act: "card44AuthPIN", family: "memory", request: { type: "4442", key: "FFFFFF" } },
  { act: "card44Read", family: "memory", request: { type: "4442", offset: "32", size: "16" }, reply: ["data"] },
  { act: "card44Write", family: "memory", request: { type: "4442", offset: "32", size: "4", data: "11223344" } },
  { act: "card44ReadePro", family: "memory", request: { type: "4442", offset: "0", size: "32" }, reply: ["data"] },
  { act: "card44WritePro", family: "memory", request: { type: "4442", offset: "0", size: "1", data: "A2" } },
  { act: "card44EditPIN", family: "memory", request: { type: "4442", key: "FFFFFF" } },
  { act: "card44PowerOff", family: "memory", request: { type: "4442" } },

  { act: "scardSet", family: "stripe", request: { outType: "1", mgNum: "4", outInfo: "2", appendEnter: "0" } },
  { act: "scardGet", family: "stripe", reply: ["data"] },
  { act: "scardRead", family: "stripe", request: { outTime: "10", mgNum: "4" }, reply: ["data"], waits: "outTime" },

  { act: "readBankNO", family: "bank", reply: ["data"] },
  { act: "readSci", family: "bank", request: { slotNo: "11" }, reply: kSciKeys },
];

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
//   "failed"     the service answered success < 0 (code, msg, action, reply)
//   "unknown"    the service sent the request back: it does not know the action
//   "not-json"   the answer was text but no JSON object (text)
//   "binary"     the answer was a binary frame
//   "closed"     the connection closed first (closeCode, closeReason)
//   "timeout"    no answer within timeoutMs
//   "unreachable" no connection could be made
//   "refused"    the request was not sent (a single quote, a bad action name)
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

  // Events: "reconnect" (a lost connection was replaced; open the reader
  // again), "close" ({code, reason}), "stray" (a reply whose call is gone,
  // e.g. after its timeout).
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
  // options: timeoutMs; raw (resolve with replies whose success < 0 too).
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
        socket.send(JSON.stringify(request));
        if (row && row.silent)
          pending.resolve(null);
      }, (error) => pending.reject(error));
    });
  }

  // Opens the reader; a reader that is already open counts as open.
  async ensureOpen(options = {}) {
    const reply = await this.call("open", {}, Object.assign({}, options, { raw: true }));
    if (reply.success !== 0 && reply.msg !== kNotClosedMsg)
      throw this._failure("open", reply);
    this._mustReopen = false;
    return reply;
  }

  // Closes and opens the reader: after an unplug the service still holds the
  // old, dead handle, and only a close lets "open" reach the reader again.
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
    let text = `${act} failed: ${reply.success} ${reply.msg}`;
    if (reply.msg === kNotOpenMsg && this._mustReopen)
      text += " (the connection was made anew, so the service may have restarted: open the reader again)";
    return new DorventError("failed", text, { action: act, code: reply.success, msg: reply.msg, reply });
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
    if (typeof reply.success === "number" && reply.success < 0 && !pending.raw) {
      pending.reject(this._failure(pending.act, reply));
      return;
    }
    if (reply.functionName === "open" && reply.success === 0)
      this._mustReopen = false;
    pending.resolve(reply);
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
