// The demo page: one block per action of Dorvent.ACTIONS, grouped by
// Dorvent.FAMILIES. A family that the service comes to answer needs no
// markup here, only its rows there.
(function () {
  "use strict";

  const { DorventClient, ACTIONS, FAMILIES } = window.Dorvent;
  const client = new DorventClient();
  const kControlUrl = "ws://127.0.0.1:17799";
  const kShortenAfter = 96;

  const kIdCardLabels = [
    ["name", "Name"], ["ENfullname", "English name"], ["sex", "Sex"], ["people", "Nation"],
    ["birthday", "Born"], ["number", "Number"], ["organs", "Issued by"], ["signdate", "Valid from"],
    ["validterm", "Valid to"], ["certType", "Card type"], ["certVersion", "Card version"],
    ["passNu", "Pass number"], ["signCount", "Issue count"], ["figData", "Fingerprints"],
  ];

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

  function showIdCard(reply) {
    const view = document.getElementById("idcard-view");
    const table = document.getElementById("idcard-fields");
    table.replaceChildren();
    for (const [key, label] of kIdCardLabels) {
      if (!(key in reply))
        continue;
      table.append(el("tr", { "data-key": key }, el("th", { text: label }), el("td", { text: shorten(reply[key]) })));
    }
    const photo = document.getElementById("idcard-photo");
    photo.src = reply.photoBase64 ? "data:image/jpeg;base64," + reply.photoBase64 : "";
    view.hidden = false;
  }

  // What each outcome shows: its state (the colour) and its status line.
  function outcome(error) {
    if (!error)
      return ["ok", null];
    switch (error.kind) {
    case "failed": return ["failed", `${error.code} ${error.msg}`];
    case "unknown": return ["unknown", "unknown action: the service sent the request back"];
    default: return ["error", error.message];
    }
  }

  async function run(row, block) {
    const fields = {};
    for (const input of block.querySelectorAll("input[name]"))
      fields[input.name] = input.value;
    const request = Object.assign({ _act: row.act }, fields);
    const status = block.querySelector(".status");
    const exchange = block.querySelector("pre");
    block.dataset.state = "pending";
    status.textContent = "…";
    exchange.textContent = "→ " + JSON.stringify(request);
    log("→ " + JSON.stringify(request));
    try {
      const reply = await client.call(row.act, fields);
      if (reply === null) {
        block.dataset.state = "sent";
        status.textContent = "sent; the service never answers this action";
        return;
      }
      block.dataset.state = "ok";
      status.textContent = `${reply.success} ${reply.msg}`;
      exchange.textContent += "\n← " + shown(reply);
      log("← " + shown(reply));
      if (row.family === "idcard" && "name" in reply)
        showIdCard(reply);
    } catch (error) {
      const [state, text] = outcome(error);
      block.dataset.state = state;
      status.textContent = text;
      const answer = error.reply ? "← " + shown(error.reply) : "✗ " + error.message;
      exchange.textContent += "\n" + answer;
      log(answer);
    }
  }

  function actionBlock(row) {
    const block = el("div", { class: "action", id: "action-" + row.act, "data-act": row.act });
    const button = el("button", { type: "button", text: row.act });
    const fields = el("span", { class: "fields" });
    for (const [key, value] of Object.entries(row.request || {})) {
      const input = el("input", { name: key, value, class: value.length > 12 ? "wide" : "" });
      fields.append(el("label", {}, key + " ", input));
    }
    block.append(button, fields, el("span"), el("span", { class: "status" }), el("span"), el("pre"));
    button.addEventListener("click", () => run(row, block));
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
    for (const family of FAMILIES) {
      const section = el("section", { id: "family-" + family.id, class: family.served ? "served" : "unserved" },
        el("h2", { text: family.title }));
      if (!family.served)
        section.append(el("p", { class: "note", text: "Not answered yet: the service sends these requests back unchanged until this family is built." }));
      if (family.card)
        section.append(el("p", { class: "note", text: `On the emulated reader, place the "${family.card.card}" card in the ${family.card.place} first (panel below).` }));
      for (const row of ACTIONS.filter((r) => r.family === family.id))
        section.append(actionBlock(row));
      if (kFamilyViews[family.id])
        section.append(kFamilyViews[family.id]());
      root.append(section);
    }
  }

  // ---- The emulated reader's control panel ----
  let control = null;
  let nextControlId = 0;
  const controlWaiting = new Map();

  function controlSend(command) {
    return new Promise((resolve) => {
      if (!control || control.readyState !== WebSocket.OPEN)
        return resolve({ ok: false, error: "no control channel (is dorvent-emu running?)" });
      const id = ++nextControlId;
      controlWaiting.set(id, resolve);
      control.send(JSON.stringify(Object.assign({ id }, command)));
    });
  }

  function showControl(reply) {
    const status = document.getElementById("control-status");
    if (!reply.state) {
      status.textContent = reply.error;
      return;
    }
    const state = reply.state;
    status.textContent = (reply.ok ? "" : reply.error + " — ") +
      `reader ${state.plugged ? "plugged in" : "unplugged"}, radio field ${state.fieldOn ? "on" : "off"}, latency ${state.latencyMs} ms` +
      (state.swipesQueued !== undefined ? `, swipes queued ${state.swipesQueued}` : "");
    document.getElementById("control-latency").value = state.latencyMs;
    const table = document.getElementById("control-places");
    table.replaceChildren();
    for (const place of state.places) {
      const fitting = state.cards.filter((card) => card.places.includes(place.place));
      const cell = el("td");
      if (place.card) {
        const remove = el("button", { type: "button", text: "remove", "data-remove": place.place });
        remove.addEventListener("click", () => controlSend({ cmd: "remove", place: place.place }).then(showControl));
        cell.append(remove);
      } else {
        for (const card of fitting) {
          const put = el("button", { type: "button", text: "place " + card.card, "data-place": place.place, "data-card": card.card });
          put.addEventListener("click", () => controlSend({ cmd: "place", place: place.place, card: card.card }).then(showControl));
          cell.append(put);
        }
      }
      table.append(el("tr", { "data-place": place.place },
        el("td", { text: place.place }), el("td", { text: place.about || "empty" }), cell));
    }
  }

  function connectControl() {
    document.getElementById("control-url").textContent = kControlUrl;
    control = new WebSocket(kControlUrl);
    control.onopen = () => controlSend({ cmd: "list" }).then(showControl);
    control.onmessage = (event) => {
      const reply = JSON.parse(event.data);
      const resolve = controlWaiting.get(reply.id);
      controlWaiting.delete(reply.id);
      if (resolve)
        resolve(reply);
    };
    control.onclose = () => {
      for (const resolve of controlWaiting.values())
        resolve({ ok: false, error: "control channel closed" });
      controlWaiting.clear();
      document.getElementById("control-status").textContent = "not connected (only dorvent-emu has a control channel)";
    };
    const on = (id, command) =>
      document.getElementById(id).addEventListener("click", () => controlSend(command()).then(showControl));
    on("control-unplug", () => ({ cmd: "unplug" }));
    on("control-plug", () => ({ cmd: "plug" }));
    on("control-set-latency", () => ({ cmd: "latency", ms: Number(document.getElementById("control-latency").value) }));
    on("control-swipe", () => ({ cmd: "swipe" }));
  }

  document.getElementById("url").textContent = client.url;
  buildFamilies();
  connectControl();
})();
