// The demo page: one block per action of Dorvent.ACTIONS, grouped by
// Dorvent.FAMILIES, the result codes, a free request box, and a panel for
// the emulated reader. An action needs no markup here, only its row there.
(function () {
  "use strict";

  const { DorventClient, ACTIONS, FAMILIES, RESULT_CODES, RESULT_RANGES, DEFAULT_URL, resultCode } = window.Dorvent;
  const params = new URLSearchParams(location.search);
  const client = new DorventClient(params.get("service") ? { url: params.get("service") } : {});
  const kControlUrl = params.get("control") || "ws://127.0.0.1:17799";
  const kShortenAfter = 96;
  const kRetryMs = 2000;
  // A call or a control command unanswered this long gets a line saying what it waits for.
  const kWaitingSignMs = 300;

  const kIdCardLabels = [
    ["name", "Name"], ["ENfullname", "English name"], ["sex", "Sex"], ["people", "Nation"],
    ["birthday", "Born"], ["number", "Number"], ["organs", "Issued by"], ["signdate", "Valid from"],
    ["validterm", "Valid to"], ["certType", "Card type"], ["certVersion", "Card version"],
    ["passNu", "Pass number"], ["signCount", "Issue count"], ["figData", "Fingerprints"],
  ];
  const kDateKeys = new Set(["birthday", "signdate", "validterm"]);

  const kPlaceNames = {
    slot1: "contact slot 1", field: "radio field", idcard: "identity-card SAM",
  };
  const placeName = (place) => kPlaceNames[place] || place.replace(/^slot(\d+)$/, "SAM slot $1");

  // ---- Small helpers ----
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (key === "text")
        node.textContent = value;
      else
        node.setAttribute(key, value);
    }
    for (const child of children)
      if (child)
        node.append(child);
    return node;
  }

  // Long hex and Base64 stay readable: head, tail and length.
  function shorten(value) {
    if (typeof value !== "string" || value.length <= kShortenAfter)
      return value;
    return `${value.slice(0, 32)}…${value.slice(-8)} (${value.length} characters)`;
  }

  function shown(object) {
    const copy = {};
    for (const [key, value] of Object.entries(object))
      copy[key] = shorten(value);
    return JSON.stringify(copy);
  }

  function log(line) {
    const pre = document.getElementById("log");
    pre.textContent = line + "\n" + pre.textContent;
  }

  // ---- What the hex means, where that is known ----
  const bytesOf = (hex) => (/^([0-9A-Fa-f]{2})*$/.test(hex) ? hex.match(/../g) || [] : []).map((h) => parseInt(h, 16));
  const textOf = (bytes) => bytes.map((b) => (b >= 0x20 && b < 0x7F ? String.fromCharCode(b) : "·")).join("");
  const hex2 = (byte) => byte.toString(16).toUpperCase().padStart(2, "0");
  const uidOf = (bytes) => bytes.slice().reverse().map(hex2).join("");
  const isoDate = (text) => (/^\d{8}$/.test(text) ? `${text.slice(0, 4)}-${text.slice(4, 6)}-${text.slice(6)}` : text);

  const kStatusWords = [
    [/^9000$/, () => "success"],
    [/^61(..)$/, (m) => `${parseInt(m[1], 16)} more bytes wait: send GET RESPONSE`],
    [/^6C(..)$/, (m) => `wrong length: send again with Le ${m[1]}`],
    [/^63C(.)$/, (m) => `verification failed, ${parseInt(m[1], 16)} tries left`],
    [/^6700$/, () => "wrong length"],
    [/^6982$/, () => "security status not satisfied"],
    [/^6983$/, () => "authentication method blocked"],
    [/^6985$/, () => "conditions of use not satisfied"],
    [/^6A81$/, () => "function not supported"],
    [/^6A82$/, () => "file or application not found"],
    [/^6A83$/, () => "record not found"],
    [/^6A86$/, () => "wrong P1 P2"],
    [/^6B00$/, () => "wrong P1 P2: offset outside the file"],
    [/^6D00$/, () => "instruction not supported"],
    [/^6E00$/, () => "class not supported"],
  ];
  function statusWordMeaning(sw) {
    for (const [pattern, say] of kStatusWords) {
      const match = pattern.exec(sw.toUpperCase());
      if (match)
        return say(match);
    }
    return "a status word of that card";
  }

  // The historical bytes of an ISO 7816-3 answer to reset (after T0 and the
  // interface bytes that its high nibbles announce).
  function historicalBytes(hex) {
    const b = bytesOf(hex);
    if (b.length < 2 || (b[0] !== 0x3B && b[0] !== 0x3F))
      return null;
    let i = 2;
    let y = b[1] >> 4;
    for (;;) {
      i += (y & 1) + ((y >> 1) & 1) + ((y >> 2) & 1);
      if (!(y & 8))
        break;
      if (i >= b.length)
        return null;
      y = b[i++] >> 4;
    }
    const k = b[1] & 0x0F;
    return i + k <= b.length ? b.slice(i, i + k) : null;
  }

  function luhnValid(digits) {
    let sum = 0;
    for (let i = 0; i < digits.length; ++i) {
      let d = Number(digits[digits.length - 1 - i]);
      if (i % 2 === 1 && (d *= 2) > 9)
        d -= 9;
      sum += d;
    }
    return digits.length > 1 && sum % 10 === 0;
  }
  const grouped = (digits) => digits.replace(/(\d{4})(?=\d)/g, "$1 ");

  // The tracks of a swipe: with sentinels (%…? ;…?) each is found by them,
  // without by the spaces between; mgNum says which tracks were asked for.
  const kSelectedTracks = { 1: [1], 2: [2], 3: [3], 4: [2, 3] };
  function stripeTracks(hex, mgNum) {
    const text = String.fromCharCode(...bytesOf(hex)).replace(/\r?\n$/, "");
    const numbers = kSelectedTracks[mgNum] || [1, 2, 3];
    const found = /^[%;]/.test(text) ? [...text.matchAll(/[%;]([^?]*)\?/g)].map((m) => m[1]) : text.split(" ");
    return found.map((track, i) => [numbers[i] || i + 1, track]);
  }
  function trackMeaning(number, track) {
    // Track 1: B, the account, ^NAME^, YYMM; track 2: the account, =, YYMM.
    const one = number === 1 && /^B(\d{12,19})\^([^^]*)\^(\d{2})(\d{2})/.exec(track);
    if (one)
      return `account ${grouped(one[1])}, holder ${one[2].trim()}, expires 20${one[3]}-${one[4]}`;
    const two = number === 2 && /^(\d{12,19})=(\d{2})(\d{2})/.exec(track);
    if (two)
      return `account ${grouped(two[1])}, expires 20${two[2]}-${two[3]}`;
    return "";
  }

  // Label and text pairs for a successful reply, where its data is understood.
  function decoded(row, reply, fields) {
    const data = typeof reply.data === "string" ? reply.data : "";
    const out = [];
    switch (row.act) {
    case "cardRun":
    case "mcardRun": {
      if (data.length < 4)
        break;
      const sw = data.slice(-4);
      if (data.length > 4)
        out.push(["response", data.slice(0, -4)]);
      out.push(["status word", `${sw}: ${statusWordMeaning(sw)}`]);
      break;
    }
    case "cardClodPowerOn":
    case "cardHotPowerOn": {
      const historical = historicalBytes(data);
      if (historical && historical.length)
        out.push(["historical bytes", `${textOf(historical)} (${historical.length} bytes)`]);
      break;
    }
    case "cardm1Read":
    case "card15693Read":
    case "card44Read":
      if (data)
        out.push(["as text", textOf(bytesOf(data))]);
      break;
    case "card15693Find": {
      // Flags, DSFID, then the UID with its least significant byte first.
      const b = bytesOf(data);
      if (b.length === 10)
        out.push(["UID", uidOf(b.slice(2))], ["DSFID", hex2(b[1])]);
      break;
    }
    case "card15693Info": {
      // Information flags, the UID, then what the flags announce.
      const b = bytesOf(data);
      if (b.length < 9)
        break;
      out.push(["UID", uidOf(b.slice(1, 9))]);
      let i = 9;
      if (b[0] & 1)
        out.push(["DSFID", hex2(b[i++])]);
      if (b[0] & 2)
        out.push(["AFI", hex2(b[i++])]);
      if ((b[0] & 4) && i + 1 < b.length) {
        out.push(["memory", `${b[i] + 1} blocks of ${(b[i + 1] & 0x1F) + 1} bytes`]);
        i += 2;
      }
      if ((b[0] & 8) && i < b.length)
        out.push(["IC reference", hex2(b[i])]);
      break;
    }
    case "card44ReadePro": {
      const offset = Number(fields.offset) || 0;
      const locked = bytesOf(data).map((bit, i) => (bit === 0 ? offset + i : -1)).filter((i) => i >= 0);
      out.push(["protected bytes", locked.length ? ranges(locked) : "none"]);
      break;
    }
    case "card44AuthNum":
      out.push(["PIN attempts left", data]);
      break;
    case "cardm1NumRead":
      // Read as signed and widened: a negative value shows as a huge one.
      if (data && BigInt(data) >= 2n ** 32n)
        out.push(["as a 32-bit value", String(BigInt.asIntN(32, BigInt(data)))]);
      break;
    case "scardRead":
      for (const [number, track] of stripeTracks(data, fields.mgNum)) {
        const meaning = trackMeaning(number, track);
        out.push([`track ${number}`, track + (meaning ? ` (${meaning})` : "")]);
      }
      break;
    case "readBankNO":
      if (data)
        out.push(["account number", `${grouped(data)} (Luhn check ${luhnValid(data) ? "passes" : "fails"})`]);
      break;
    case "readSci":
    case "readIDCard":
    case "readIDCardEX":
      for (const key of kDateKeys)
        if (reply[key])
          out.push([key, isoDate(reply[key])]);
      break;
    }
    return out;
  }

  function ranges(numbers) {
    const parts = [];
    for (let i = 0; i < numbers.length;) {
      let j = i;
      while (j + 1 < numbers.length && numbers[j + 1] === numbers[j] + 1)
        ++j;
      parts.push(i === j ? `${numbers[i]}` : `${numbers[i]}-${numbers[j]}`);
      i = j + 1;
    }
    return parts.join(", ");
  }

  // ---- What a result code means ----
  function meaningNode(code) {
    const result = resultCode(code);
    const sw = result.statusWord ? ` Status word ${result.statusWord}: ${statusWordMeaning(result.statusWord)}.` : "";
    return el("div", { class: "meaning", "data-name": result.name },
      el("a", { href: "#code-" + (RESULT_CODES.some((r) => r.code === code) ? code : result.name), text: result.name }),
      `: ${result.meaning}.${sw}`,
      el("br"), el("span", { lang: "zh", text: result.meaningZh }),
      el("br"), el("b", { text: "What to do: " }), result.advice);
  }

  // ---- "copy as code": a script that makes the same call ----
  const jsKey = (key) => (/^[A-Za-z_$][\w$]*$/.test(key) ? key : JSON.stringify(key));
  function argsOf(fields) {
    const keys = Object.keys(fields);
    return keys.length ? `, { ${keys.map((k) => `${jsKey(k)}: ${JSON.stringify(fields[k])}`).join(", ")} }` : "";
  }

  function codeFor(row, fields) {
    const options = client.url === DEFAULT_URL ? "" : `{ url: ${JSON.stringify(client.url)} }`;
    const lines = [
      "// In a page that loads dorvent.js; with the module: import { DorventClient } from \"dorvent\";",
      `const client = new Dorvent.DorventClient(${options});`,
    ];
    if (row.act === "open") {
      lines.push("const reply = await client.ensureOpen(); // an open reader counts as open");
    } else {
      if (row.act !== "close")
        lines.push("await client.ensureOpen();");
      // What must come first, with this block's values for the keys they share.
      for (const act of row.first || []) {
        const first = ACTIONS.find((r) => r.act === act);
        const firstFields = {};
        for (const key of Object.keys(first.request || {}))
          firstFields[key] = key in fields ? fields[key] : first.request[key];
        lines.push(`await client.call(${JSON.stringify(act)}${argsOf(firstFields)}); // needed first`);
      }
      lines.push(`const reply = await client.call(${JSON.stringify(row.act)}${argsOf(fields)});`);
    }
    lines.push(row.silent ? "// reply is null: the service never answers this action" : "console.log(reply);");
    return lines.join("\n");
  }

  async function copyCode(row, block) {
    const code = codeFor(row, fieldsOf(block));
    const view = block.querySelector(".code");
    view.textContent = code;
    view.hidden = false;
    const note = block.querySelector(".copied");
    try {
      await navigator.clipboard.writeText(code);
      note.textContent = "copied";
    } catch {
      note.textContent = "select it and copy (this browser gave the page no clipboard)";
    }
  }

  // ---- Calls in flight, for the sign that one waits behind another ----
  const inFlight = [];

  function watchWaiting(entry, status) {
    entry.timer = setTimeout(function tick() {
      if (!inFlight.includes(entry))
        return;
      const ahead = inFlight.slice(0, inFlight.indexOf(entry)).find((other) => other.row.waits) ||
        inFlight[inFlight.indexOf(entry) - 1];
      const seconds = ((Date.now() - entry.started) / 1000).toFixed(1);
      status.textContent = ahead
        ? `waiting behind ${ahead.row.act}` + (ahead.row.waits ? `, which waits up to ${ahead.fields[ahead.row.waits]} s for a swipe` : "") + ` (${seconds} s)…`
        : `waiting for the reader (${seconds} s)…`;
      entry.timer = setTimeout(tick, 500);
    }, kWaitingSignMs);
  }

  // ---- The identity card ----
  function clearIdCard() {
    document.getElementById("idcard-fields").replaceChildren();
    document.getElementById("idcard-photo").removeAttribute("src");
    document.getElementById("idcard-view").hidden = true;
  }

  function showIdCard(reply) {
    const table = document.getElementById("idcard-fields");
    table.replaceChildren();
    for (const [key, label] of kIdCardLabels) {
      if (!(key in reply))
        continue;
      const value = kDateKeys.has(key) ? isoDate(reply[key]) : shorten(reply[key]);
      table.append(el("tr", { "data-key": key }, el("th", { text: label }), el("td", { text: value })));
    }
    if (reply.photoBase64)
      document.getElementById("idcard-photo").src = "data:image/jpeg;base64," + reply.photoBase64;
    document.getElementById("idcard-view").hidden = false;
  }

  // ---- One action ----
  function fieldsOf(block) {
    const fields = {};
    for (const input of block.querySelectorAll(".fields input[name]"))
      fields[input.name] = input.value;
    return fields;
  }

  // What each outcome shows: its state (the colour) and its status line.
  function outcome(error) {
    switch (error.kind) {
    case "failed": return ["failed", `${error.code} ${error.msg}`];
    case "unknown": return ["unknown", "unknown action: the service sent the request back"];
    default: return ["error", error.message];
    }
  }

  function showDecoded(block, pairs) {
    const list = block.querySelector(".decoded");
    list.replaceChildren();
    for (const [label, text] of pairs)
      list.append(el("dt", { text: label }), el("dd", { text }));
  }

  async function run(row, block) {
    const fields = fieldsOf(block);
    const status = block.querySelector(".status");
    const exchange = block.querySelector(".exchange");
    const meaning = block.querySelector(".meaning-slot");
    block.dataset.state = "pending";
    status.textContent = "…";
    exchange.textContent = "→ (connecting)";
    meaning.replaceChildren();
    showDecoded(block, []);
    block.reply = null;
    if (row.act === "readIDCard" || row.act === "readIDCardEX")
      clearIdCard();
    const entry = { row, fields, started: Date.now() };
    inFlight.push(entry);
    watchWaiting(entry, status);
    const onSend = (text) => {
      exchange.textContent = "→ " + text;
      log("→ " + text);
    };
    try {
      const reply = await client.call(row.act, fields, { onSend });
      if (reply === null) {
        block.dataset.state = "sent";
        status.textContent = "sent; the service never answers this action";
        return;
      }
      block.reply = reply; // the whole reply, for the console
      if (row.act === "serviceStatus")
        showReader(reply);
      else if (row.act === "open" || row.act === "close")
        refreshReader();
      block.dataset.state = "ok";
      status.textContent = `${reply.success} ${reply.msg}`;
      if (!client.mustReopen)
        serviceState("connected", "ok");
      // A positive code is a refusal too (the client leaves it to the page).
      if (reply.success !== 0) {
        block.dataset.state = "failed";
        meaning.append(meaningNode(reply.success));
      }
      exchange.textContent += "\n← " + shown(reply);
      log("← " + shown(reply));
      showDecoded(block, decoded(row, reply, fields));
      if (row.act === "readIDCard" || row.act === "readIDCardEX")
        showIdCard(reply);
    } catch (error) {
      const [state, text] = outcome(error);
      block.dataset.state = state;
      status.textContent = text;
      if (error.kind === "failed")
        meaning.append(meaningNode(error.code));
      const answer = error.reply ? "← " + shown(error.reply) : "✗ " + error.message;
      if (exchange.textContent === "→ (connecting)")
        exchange.textContent = "→ (not sent)";
      exchange.textContent += "\n" + answer;
      log(answer);
    } finally {
      clearTimeout(entry.timer);
      inFlight.splice(inFlight.indexOf(entry), 1);
    }
  }

  function replyKeys(row) {
    if (row.silent)
      return "reply: none, ever";
    const keys = row.reply || [];
    return keys.length ? `reply adds: ${keys.join(", ")}` : "reply: the envelope only (success, msg)";
  }

  function actionBlock(row) {
    const block = el("div", { class: "action", id: "action-" + row.act, "data-act": row.act });
    const button = el("button", { type: "button", class: "run", text: row.act });
    const fields = el("span", { class: "fields" });
    for (const [key, value] of Object.entries(row.request || {})) {
      const input = el("input", { name: key, value, class: value.length > 12 ? "wide" : "" });
      fields.append(el("label", {}, key + " ", input));
    }
    const copy = el("button", { type: "button", class: "copy", text: "copy as code" });
    block.append(button, el("div", { class: "body" },
      el("div", { class: "about" }, el("span", { text: row.about }),
        row.first ? el("span", { class: "first", text: ` (${row.first.join(", then ")} first)` }) : null,
        el("span", { class: "keys", text: " · " + replyKeys(row) })),
      el("div", {}, fields, copy, el("span", { class: "copied" })),
      el("div", { class: "status" }),
      el("div", { class: "meaning-slot" }),
      el("pre", { class: "exchange" }),
      el("dl", { class: "decoded" }),
      el("pre", { class: "code", hidden: "" })));
    button.addEventListener("click", () => run(row, block));
    copy.addEventListener("click", () => copyCode(row, block));
    return block;
  }

  function idCardView() {
    return el("div", { id: "idcard-view", hidden: "" },
      el("img", { id: "idcard-photo", alt: "photo" }),
      el("table", { id: "idcard-fields" }));
  }

  const kFamilyViews = { idcard: idCardView };

  function buildFamilies() {
    const root = document.getElementById("families");
    const nav = document.getElementById("nav");
    for (const family of FAMILIES) {
      const section = el("section", { id: "family-" + family.id }, el("h2", { text: family.title }));
      nav.append(el("a", { href: "#family-" + family.id, text: family.title }));
      if (family.card) {
        const put = el("button", { type: "button", class: "place-card", text: `place the ${family.card.card} card` });
        put.addEventListener("click", () => controlSend({ cmd: "place", place: family.card.place, card: family.card.card }, put.textContent));
        section.append(el("p", { class: "note" },
          `On the emulated reader, these need the "${family.card.card}" card in the ${placeName(family.card.place)}: `, put));
      }
      for (const row of ACTIONS.filter((r) => r.family === family.id))
        section.append(actionBlock(row));
      if (kFamilyViews[family.id])
        section.append(kFamilyViews[family.id]());
      root.append(section);
    }
    for (const [id, title] of [["free", "Free request"], ["codes", "Result codes"], ["control", "Emulated reader"]])
      nav.append(el("a", { href: "#" + id, text: title }));
  }

  // ---- The free request box: any JSON object, any action ----
  async function sendFree() {
    const status = document.getElementById("free-status");
    const exchange = document.getElementById("free-exchange");
    const meaning = document.getElementById("free-meaning");
    const box = document.getElementById("free");
    meaning.replaceChildren();
    exchange.textContent = "";
    let request;
    try {
      request = JSON.parse(document.getElementById("free-text").value);
    } catch (e) {
      box.dataset.state = "error";
      status.textContent = "not JSON: " + e.message;
      return;
    }
    if (!request || typeof request !== "object" || Array.isArray(request) || typeof request._act !== "string") {
      box.dataset.state = "error";
      status.textContent = "a JSON object with an \"_act\" text, please";
      return;
    }
    // The client puts its own tag in.
    const fields = Object.assign({}, request);
    delete fields._act;
    delete fields._tflag;
    const act = request._act;
    box.dataset.state = "pending";
    status.textContent = "…";
    const onSend = (text) => {
      exchange.textContent = "→ " + text;
      log("→ " + text);
    };
    try {
      const reply = await client.callAny(act, fields, { raw: true, onSend });
      if (reply === null) {
        box.dataset.state = "sent";
        status.textContent = "sent; the service never answers this action";
        return;
      }
      box.dataset.state = reply.success < 0 ? "failed" : "ok";
      status.textContent = `${reply.success} ${reply.msg}`;
      if (reply.success !== 0)
        meaning.append(meaningNode(reply.success));
      exchange.textContent += "\n← " + shown(reply);
      log("← " + shown(reply));
    } catch (error) {
      const [state, text] = outcome(error);
      box.dataset.state = state;
      status.textContent = text;
      exchange.textContent += "\n" + (error.reply ? "← " + shown(error.reply) : "✗ " + error.message);
    }
  }

  // ---- The result codes ----
  function buildCodes() {
    const body = document.getElementById("codes-table");
    const row = (id, code, r) => el("tr", { id },
      el("td", { class: "num", text: code }), el("td", {}, el("code", { text: r.name })),
      el("td", { text: r.meaning }), el("td", { lang: "zh", text: r.meaningZh }), el("td", { text: r.advice }));
    for (const r of RESULT_CODES)
      body.append(row("code-" + r.code, String(r.code), r));
    for (const r of RESULT_RANGES) {
      const span = r.highest === 2147483647 ? `${r.lowest} and above`
        : r.lowest === -2147483648 ? `${r.highest} and below` : `${r.lowest} to ${r.highest}, others`;
      body.append(row("code-" + r.name, span, r));
    }
  }

  // ---- The service's connection ----
  let serviceRetry = null;
  function serviceState(text, state) {
    const node = document.getElementById("service-state");
    node.textContent = text;
    node.dataset.state = state;
  }

  function watchService() {
    const tryConnect = () => {
      serviceRetry = null;
      client.connect().then(() => {
        if (!client.mustReopen)
          serviceState("connected", "ok");
        refreshReader();
      }, () => {
        serviceState(`not reachable: is it running? Trying again every ${kRetryMs / 1000} s`, "error");
        serviceRetry = setTimeout(tryConnect, kRetryMs);
      });
    };
    client.on("close", () => {
      serviceState("connection lost; connecting again…", "error");
      if (!serviceRetry)
        serviceRetry = setTimeout(tryConnect, kRetryMs);
    });
    client.on("reconnect", () => serviceState("connected again: the service may have restarted with its reader closed, press open", "warn"));
    tryConnect();
  }

  // ---- The reader's state, as the service tells it (serviceStatus) ----
  // Asked every few seconds while connected, and at once when a call finds
  // the reader gone or back, or the panel plugs or unplugs it.
  let readerTimer = null;
  let readerAsking = false;
  let readerAskAgain = false;
  let readerUnsupported = false;

  function readerState(text, state) {
    const node = document.getElementById("reader-state");
    node.textContent = text;
    node.dataset.state = state;
  }

  function showReader(status) {
    const since = status.readerOpenedAt ? new Date(status.readerOpenedAt).toLocaleTimeString() : "";
    const firmware = status.readerFirmware ? `firmware ${status.readerFirmware}, ` : "";
    if (status.readerOpen && status.readerPresent)
      readerState(`open (${firmware}opened ${since})`, "ok");
    else if (status.readerOpen)
      readerState("unplugged: calls answer -31 until it is back; the service then opens it again by itself", "warn");
    else if (status.readerPresent)
      readerState("plugged in, not open: press open", "warn");
    else if (status.readerPresent === false)
      readerState("not plugged in", "error");
    else
      readerState("not open: press open", "warn");
  }

  async function refreshReader() {
    if (readerUnsupported)
      return;
    if (readerAsking) {
      readerAskAgain = true;
      return;
    }
    clearTimeout(readerTimer);
    readerAsking = true;
    if (client.connected) {
      try {
        showReader(await client.status({ timeoutMs: 5000 }));
      } catch (error) {
        // A service older than its status action: the line says so, once.
        if (error.kind === "unknown") {
          readerUnsupported = true;
          readerState("this service does not tell it", "warn");
        }
      }
    } else {
      readerState("unknown: no connection to the service", "warn");
    }
    readerAsking = false;
    if (readerAskAgain) {
      readerAskAgain = false;
      return refreshReader();
    }
    if (!readerUnsupported)
      readerTimer = setTimeout(refreshReader, kRetryMs);
  }

  function watchReader() {
    client.on("readergone", refreshReader);
    client.on("readerback", refreshReader);
    refreshReader();
  }

  // ---- The emulated reader's control panel ----
  let control = null;
  let nextControlId = 0;
  const controlWaiting = new Map();

  // Sends a command; a line says what waits while the reader is busy with a
  // request (commands run between two of the service's USB exchanges).
  function controlSend(command, what) {
    return new Promise((resolve) => {
      if (!control || control.readyState !== WebSocket.OPEN)
        return resolve({ ok: false, error: "no control channel (is dorvent-emu running?)" });
      const id = ++nextControlId;
      const entry = { what: what || command.cmd, started: Date.now(), resolve };
      controlWaiting.set(id, entry);
      setTimeout(showControlWaiting, kWaitingSignMs);
      control.send(JSON.stringify(Object.assign({ id }, command)));
    }).then((reply) => {
      showControl(reply);
      showControlWaiting();
      return reply;
    });
  }

  function showControlWaiting() {
    const waiting = [...controlWaiting.values()].filter((e) => Date.now() - e.started >= kWaitingSignMs);
    const node = document.getElementById("control-waiting");
    node.textContent = waiting.length
      ? `waiting: ${waiting.map((e) => e.what).join(", ")} — the reader is in the middle of a request; the command runs after its current exchange`
      : "";
    if (waiting.length)
      setTimeout(showControlWaiting, 500);
  }

  let controlPlugged = null;

  function showControl(reply) {
    const status = document.getElementById("control-status");
    if (!reply.state) {
      status.textContent = reply.error;
      return;
    }
    const state = reply.state;
    if (controlPlugged !== null && controlPlugged !== state.plugged)
      refreshReader();
    controlPlugged = state.plugged;
    status.dataset.state = state.plugged ? "ok" : "warn";
    status.textContent = (reply.ok ? "" : reply.error + " — ") +
      `reader ${state.plugged ? "plugged in" : "unplugged"}, radio field ${state.fieldOn ? "on" : "off"}, latency ${state.latencyMs} ms` +
      (state.swipesQueued !== undefined ? `, swipes queued ${state.swipesQueued}` : "");
    if (document.activeElement !== document.getElementById("control-latency"))
      document.getElementById("control-latency").value = state.latencyMs;
    const table = document.getElementById("control-places");
    table.replaceChildren();
    for (const place of state.places) {
      const menu = el("select", { "data-place": place.place, "aria-label": "card in " + placeName(place.place) },
        el("option", { value: "", text: "(empty)" }));
      for (const card of state.cards.filter((c) => c.places.includes(place.place)))
        menu.append(el("option", { value: card.card, text: card.card }));
      menu.value = place.card || "";
      menu.addEventListener("change", () => controlSend(menu.value
        ? { cmd: "place", place: place.place, card: menu.value }
        : { cmd: "remove", place: place.place }, `${menu.value || "remove"} → ${placeName(place.place)}`));
      table.append(el("tr", { "data-place": place.place },
        el("th", { text: placeName(place.place) }), el("td", {}, menu), el("td", { class: "about", text: place.about || "empty" })));
    }
  }

  function swipeCommand() {
    const command = { cmd: "swipe" };
    for (const key of ["track1", "track2", "track3"]) {
      const value = document.getElementById("swipe-" + key).value;
      if (value)
        command[key] = value;
    }
    if (document.getElementById("swipe-error").checked)
      command.error = true;
    const polls = Number(document.getElementById("swipe-after").value);
    if (polls > 0)
      command.afterPolls = polls;
    return command;
  }

  function connectControl() {
    const status = document.getElementById("control-status");
    control = new WebSocket(kControlUrl);
    control.onopen = () => controlSend({ cmd: "list" });
    control.onmessage = (event) => {
      const reply = JSON.parse(event.data);
      const entry = controlWaiting.get(reply.id);
      controlWaiting.delete(reply.id);
      if (entry)
        entry.resolve(reply);
    };
    control.onclose = () => {
      for (const entry of controlWaiting.values())
        entry.resolve({ ok: false, error: "control channel closed" });
      controlWaiting.clear();
      document.getElementById("control-places").replaceChildren();
      status.dataset.state = "error";
      status.textContent = `not connected: trying again every ${kRetryMs / 1000} s (only dorvent-emu has a control channel)`;
      setTimeout(connectControl, kRetryMs);
    };
  }

  function wireControls() {
    document.getElementById("control-url").textContent = kControlUrl;
    const on = (id, command, what) =>
      document.getElementById(id).addEventListener("click", () => controlSend(command(), what));
    on("control-unplug", () => ({ cmd: "unplug" }), "unplug");
    on("control-plug", () => ({ cmd: "plug" }), "plug in");
    on("control-set-latency", () => ({ cmd: "latency", ms: Number(document.getElementById("control-latency").value) }), "latency");
    on("control-swipe", swipeCommand, "swipe");
  }

  document.getElementById("url").textContent = client.url;
  document.getElementById("free-send").addEventListener("click", sendFree);
  buildFamilies();
  buildCodes();
  wireControls();
  watchService();
  watchReader();
  connectControl();
})();
