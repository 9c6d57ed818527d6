// The client (web/dorvent.mjs) inside Chromium: against a scripted server
// for the answers the service never gives in order, and against dorvent-emu.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import { WebSocket, WebSocketServer } from "ws";

import { Service, control, kControlPort, launchChromium, serveWeb, waitFor } from "./support.mjs";

let browser, page, web;

describe("client", () => {
before(async () => {
  web = await serveWeb();
  browser = await launchChromium();
  page = await browser.newPage();
  await page.goto(web.url + "/");
  await page.evaluate(async () => { window.D = await import("/web/dorvent.mjs"); });
});

after(async () => {
  await browser?.close();
  await web?.close();
});

// Answers every request as the service would, unless a test scripts the
// next answer; keeps what it received.
function scriptedServer() {
  const server = new WebSocketServer({ host: "127.0.0.1", port: 0 });
  const state = { received: [], next: null, hold: 0, held: [] };
  const answer = (socket, request) => socket.send(JSON.stringify({
    _tflag: request._tflag, data: "for " + request._act, functionName: request._act, msg: "ok", success: 0,
  }));
  server.on("connection", (socket) => socket.on("message", (text) => {
    const request = JSON.parse(text);
    state.received.push(request);
    if (state.next) {
      const next = state.next;
      state.next = null;
      return next(socket, request);
    }
    if (state.hold > 0) {
      state.held.push(request);
      if (state.held.length < state.hold)
        return;
      // The held requests answered last first.
      for (const held of state.held.reverse())
        answer(socket, held);
      state.held = [];
      state.hold = 0;
      return;
    }
    answer(socket, request);
  }));
  return new Promise((resolve) => server.on("listening", () => resolve({
    url: `ws://127.0.0.1:${server.address().port}`, state, close: () => new Promise((done) => {
      for (const client of server.clients)
        client.terminate();
      server.close(done);
    }),
  })));
}

describe("against a scripted server", () => {
  let scripted;
  before(async () => { scripted = await scriptedServer(); });
  after(async () => {
    await page.evaluate(() => window.scriptedClient?.disconnect());
    await scripted.close();
  });

  test("replies that come in another order each reach their own call", async () => {
    scripted.state.hold = 3;
    const replies = await page.evaluate(async (url) => {
      window.scriptedClient = new D.DorventClient({ url });
      const c = window.scriptedClient;
      return Promise.all([c.call("version"), c.call("beep"), c.call("readIDCardUID")]);
    }, scripted.url);
    assert.deepEqual(replies.map((r) => [r.functionName, r.data]),
      [["version", "for version"], ["beep", "for beep"], ["readIDCardUID", "for readIDCardUID"]]);
    const tags = scripted.state.received.slice(-3).map((r) => r._tflag);
    assert.equal(new Set(tags).size, 3, "every call has its own tag");
  });

  // Each answer settles its call with a named cause, and the next call works.
  const kBadAnswers = [
    { name: "text that is no JSON", answer: (s) => s.send("{not json"), kind: "not-json", says: /not a JSON object/ },
    { name: "a JSON array", answer: (s) => s.send("[1,2]"), kind: "not-json", says: /not a JSON object/ },
    { name: "a binary frame", answer: (s) => s.send(Buffer.from([1, 2, 3])), kind: "binary", says: /binary frame/ },
    { name: "the request sent back", answer: (s, r) => s.send(JSON.stringify(r)), kind: "unknown", says: /does not know/ },
    { name: "a failure code", answer: (s, r) => s.send(JSON.stringify({ _tflag: r._tflag, functionName: r._act, msg: "获取版本信息失败", success: -15 })),
      kind: "failed", says: /version failed: -15 获取版本信息失败 \(TransferFailed: a transfer failed/, code: -15, errorName: "TransferFailed" },
    { name: "no answer", answer: () => {}, kind: "timeout", says: /no reply within 300 ms/ },
    { name: "a dropped connection", answer: (s) => s.terminate(), kind: "closed", says: /1006 abnormal closure/, closeCode: 1006 },
    { name: "a close for a message too big", answer: (s) => s.close(1009), kind: "closed", says: /1009 message too big/, closeCode: 1009 },
  ];

  for (const row of kBadAnswers) {
    test(`${row.name} rejects the call and leaves the client usable`, async () => {
      scripted.state.next = row.answer;
      const { error, next } = await page.evaluate(async () => {
        const c = window.scriptedClient;
        let error = null;
        try {
          await c.call("version", {}, { timeoutMs: 300 });
        } catch (e) {
          error = { kind: e.kind, message: e.message, code: e.code, closeCode: e.closeCode, action: e.action, name: e.name };
        }
        const next = await c.call("beep");
        return { error, next };
      });
      assert.ok(error, "the call was rejected");
      assert.equal(error.kind, row.kind);
      assert.match(error.message, row.says);
      assert.equal(error.action, "version");
      if (row.code !== undefined)
        assert.equal(error.code, row.code);
      assert.equal(error.name, row.errorName || "DorventError");
      if (row.closeCode !== undefined)
        assert.equal(error.closeCode, row.closeCode);
      assert.equal(next.functionName, "beep");
    });
  }

  test("disconnecting fails the waiting call at once, and a call right after connects anew", async () => {
    scripted.state.next = () => {};
    const result = await page.evaluate(async () => {
      const c = window.scriptedClient;
      const waiting = c.call("version", {}, { timeoutMs: 5000 }).catch((e) => [e.kind, e.closeCode]);
      await new Promise((resolve) => setTimeout(resolve, 50));
      c.disconnect();
      const next = c.beep();
      return [await waiting, (await next).functionName];
    });
    assert.deepEqual(result, [["closed", 1000], "beep"]);
  });

  test("in Node, given a WebSocket constructor, the same module works", async () => {
    const { DorventClient } = await import("../../web/dorvent.mjs");
    const client = new DorventClient({ url: scripted.url, WebSocket });
    scripted.state.hold = 2;
    const replies = await Promise.all([client.version(), client.beep()]);
    assert.deepEqual(replies.map((r) => r.functionName), ["version", "beep"]);
    client.disconnect();
  });

  test("a value with a single quote is refused before anything is sent", async () => {
    const sent = scripted.state.received.length;
    const error = await page.evaluate(() => window.scriptedClient.call("cardRun", { slotNo: "1", apdu: "00'A4" })
      .then(() => null, (e) => ({ kind: e.kind, key: e.key, message: e.message })));
    assert.equal(error.kind, "refused");
    assert.equal(error.key, "apdu");
    assert.match(error.message, /single quote/);
    assert.equal(scripted.state.received.length, sent);
  });

  test("ensureOpen on a reader open already asks it for its version: one that does not answer rejects", async () => {
    const answer = (success, msg) => (socket, request) =>
      socket.send(JSON.stringify({ _tflag: request._tflag, functionName: request._act, msg, success }));
    const attempt = async (version) => {
      scripted.state.next = (socket, request) => {
        scripted.state.next = version;
        answer(-1, "端口未关闭")(socket, request);
      };
      return page.evaluate(() => window.scriptedClient.ensureOpen()
        .then((reply) => ({ msg: reply.msg }), (e) => ({ kind: e.kind, action: e.action, code: e.code, name: e.name })));
    };
    assert.deepEqual(await attempt(answer(-100, "获取版本信息失败")),
      { kind: "failed", action: "version", code: -100, name: "NoValidReply" });
    assert.deepEqual(scripted.state.received.slice(-2).map((r) => r._act), ["open", "version"]);
    assert.deepEqual(await attempt(answer(0, "获取版本信息成功")), { msg: "端口未关闭" });
  });

  test("a swipe read waits its outTime on top of the default timeout", async () => {
    scripted.state.next = () => {};
    const error = await page.evaluate(() => new D.DorventClient({ url: window.scriptedClient.url, timeoutMs: 200 })
      .call("scardRead", { outTime: "1", mgNum: "4" }).catch((e) => ({ kind: e.kind, timeoutMs: e.timeoutMs })));
    assert.deepEqual(error, { kind: "timeout", timeoutMs: 1200 });
  });
});

describe("against dorvent-emu", () => {
  const service = new Service();
  before(async () => {
    await service.start();
    await page.evaluate(() => {
      window.client = new D.DorventClient({ timeoutMs: 10000 });
      window.events = { reconnect: 0, stray: [] };
      window.client.on("reconnect", () => window.events.reconnect++);
      window.client.on("stray", (reply) => window.events.stray.push(reply.functionName));
    });
  });
  after(async () => {
    await page.evaluate(() => window.client.disconnect());
    await service.stop();
  });

  test("a failure rejects with its code, message and the code's row; raw hands the reply over", async () => {
    const { error, raw, row } = await page.evaluate(async () => {
      const error = await client.beep().catch((e) => ({ kind: e.kind, code: e.code, msg: e.msg, action: e.action,
        name: e.name, meaning: e.meaning, meaningZh: e.meaningZh, advice: e.advice }));
      const raw = await client.call("beep", {}, { raw: true });
      return { error, raw, row: D.RESULT_CODES.find((r) => r.code === -1) };
    });
    assert.deepEqual(error, { kind: "failed", code: -1, msg: "端口未打开", action: "beep",
      name: row.name, meaning: row.meaning, meaningZh: row.meaningZh, advice: row.advice });
    assert.match(error.advice, /端口未打开: call open/);
    assert.equal(raw.success, -1);
  });

  test("after an unanswered fingerprint call, the next three calls each get their own reply", async () => {
    const { silent, replies } = await page.evaluate(async () => {
      await client.ensureOpen();
      const silent = [await client.call("ctnFingerPrint"), await client.call("collectFingerPrint")];
      const replies = await Promise.all([
        client.version(),
        client.call("cardClodPowerOn", { slotNo: "1" }),
        client.call("readIDCardUID"),
      ]);
      return { silent, replies };
    });
    assert.deepEqual(silent, [null, null]);
    assert.deepEqual(replies.map((r) => [r.functionName, r.success]),
      [["version", 0], ["cardClodPowerOn", 0], ["readIDCardUID", 0]]);
    assert.equal(replies[1].data, "3B680000444F5256454E5431");
  });

  test("an action the service does not know is rejected as unknown", async () => {
    const error = await page.evaluate(() => client.callAny("hello", { x: "1" })
      .catch((e) => ({ kind: e.kind, echoed: e.reply && e.reply._act })));
    assert.deepEqual(error, { kind: "unknown", echoed: "hello" });
  });

  test("ensureOpen takes an open reader as open", async () => {
    const reply = await page.evaluate(() => client.ensureOpen());
    assert.equal(reply.msg, "端口未关闭");
  });

  // Back found by a status poll, then by the client's own next call.
  for (const foundBy of ["status", "beep"]) {
    test(`an unplugged reader fails calls with ReaderGone; once plugged back, ${foundBy} finds it and calls work with no close and open`, async () => {
      const plug = async (cmd) => assert.equal((await control({ cmd })).ok, true);
      await page.evaluate(async () => {
        await client.ensureOpen();
        window.readerEvents = [];
        window.readerListeners = ["readergone", "readerback"].map((name) =>
          [name, (event) => window.readerEvents.push([name, event.action, event.reply.success])]);
        for (const [name, listener] of window.readerListeners)
          client.on(name, listener);
      });
      await plug("unplug");
      const gone = await page.evaluate(async () => {
        const failure = (e) => ({ kind: e.kind, name: e.name, code: e.code, msg: e.msg });
        return { open: await client.ensureOpen().catch(failure), beep: await client.beep().catch(failure),
          status: await client.status(), flag: client.readerGone };
      });
      const readerGone = { kind: "failed", name: "ReaderGone", code: -31, msg: "读卡器已拔出" };
      assert.deepEqual(gone.open, readerGone);
      assert.deepEqual(gone.beep, readerGone);
      assert.deepEqual([gone.status.readerPresent, gone.status.readerOpen, gone.flag], [false, true, true]);
      await plug("plug");
      const back = await page.evaluate(async (how) => {
        const found = how === "status" ? (await client.status()).readerPresent : (await client.beep()).success;
        const opened = await client.ensureOpen();
        const card = await client.call("readIDCard");
        for (const [name, listener] of window.readerListeners)
          client.off(name, listener);
        return { found, opened: opened.msg, name: card.name, flag: client.readerGone, events: window.readerEvents };
      }, foundBy);
      assert.deepEqual(back, { found: foundBy === "status" ? true : 0, opened: "端口未关闭", name: "林晓雯", flag: false,
        events: [["readergone", "open", -31], ["readerback", foundBy === "status" ? "serviceStatus" : "beep", 0]] });
    });
  }

  test("a reply that comes after its call timed out answers no other call", async () => {
    const control = new WebSocket(`ws://127.0.0.1:${kControlPort}`);
    await new Promise((resolve, reject) => { control.once("open", resolve); control.once("error", reject); });
    const command = (cmd) => new Promise((resolve) => {
      control.once("message", (text) => resolve(JSON.parse(text)));
      control.send(JSON.stringify(cmd));
    });
    try {
      assert.equal((await command({ cmd: "latency", ms: 20 })).ok, true);
      const result = await page.evaluate(async () => {
        const late = await client.call("readIDCard", {}, { timeoutMs: 200 }).catch((e) => e.kind);
        const next = await client.beep();
        return { late, next: next.functionName };
      });
      assert.deepEqual(result, { late: "timeout", next: "beep" });
      assert.deepEqual(await page.evaluate(() => window.events.stray), ["readIDCard"]);
    } finally {
      await command({ cmd: "latency", ms: 0 });
      control.close();
    }
  });

  test("a message over 64 KiB closes the connection with 1009; the next call connects again", async () => {
    // Read whole before it is refused, so no reset can overtake the close frame.
    for (let attempt = 0; attempt < 3; ++attempt) {
      const { error, next } = await page.evaluate(async () => {
        const error = await client.call("beep", { pad: "A".repeat(70 * 1024) })
          .catch((e) => ({ kind: e.kind, closeCode: e.closeCode, message: e.message }));
        await new Promise((resolve) => setTimeout(resolve, 0));
        const next = await client.beep();
        return { error, next: next.success };
      });
      assert.equal(error.kind, "closed");
      assert.equal(error.closeCode, 1009);
      assert.match(error.message, /1009 message too big/);
      assert.equal(next, 0);
    }
  });

  test("after the service restarts, the next call reconnects and ensureOpen works", async () => {
    const before = await page.evaluate(() => window.events.reconnect);
    await service.stop();
    await waitFor("the client to see the connection close", () => page.evaluate(() => !client.connected), 10000);
    await service.start();
    const { beep, opened, mustReopen, reconnects } = await page.evaluate(async () => {
      const beep = await client.beep().catch((e) => ({ kind: e.kind, message: e.message }));
      const opened = await client.ensureOpen();
      return { beep, opened: opened.msg, mustReopen: client.mustReopen, reconnects: window.events.reconnect };
    });
    assert.equal(beep.kind, "failed");
    assert.match(beep.message, /open the reader again/);
    assert.equal(opened, "打开端口成功");
    assert.equal(mustReopen, false);
    assert.equal(reconnects, before + 1);
  });
});
});
