// The demo page as a page author opens it (file://), against dorvent-emu:
// every button answers as the action table says, the identity card shows
// with its photo and goes when a read fails, hex is decoded, "copy as code"
// runs, and the emulated reader's panel places cards, unplugs the reader,
// swipes and finds the service again after a restart. Against a scripted
// service: every result code reaches the page with its meaning.
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";
import { pathToFileURL } from "node:url";
import { WebSocketServer } from "ws";

import { Service, artifactPath, kWebDir, launchChromium } from "./support.mjs";

const { ACTIONS, FAMILIES, RESULT_CODES, RESULT_RANGES, resultCode } = createRequire(import.meta.url)(join(kWebDir, "dorvent.js"));
const kPageUrl = pathToFileURL(join(kWebDir, "index.html")).href;

// What pressing a button shows, by the table: an answer, or nothing (the
// service never answers).
function expectedState(row) {
  return row.silent ? "sent" : "ok";
}

describe("demo page", () => {
  const service = new Service();
  let browser, page;

  before(async () => {
    await service.start();
    browser = await launchChromium();
    const context = await browser.newContext({ viewport: { width: 1200, height: 900 } });
    await context.grantPermissions(["clipboard-read", "clipboard-write"]);
    page = await context.newPage();
    await page.goto(kPageUrl);
    await page.waitForFunction(() => /plugged in/.test(document.getElementById("control-status").textContent));
  });

  after(async () => {
    await browser?.close();
    await service.stop();
  });

  // Presses an action's button and waits for what it shows.
  async function press(act) {
    await page.evaluate((a) => { document.getElementById("action-" + a).dataset.state = ""; }, act);
    await page.click(`#action-${act} button.run`);
    await page.waitForFunction((a) => !["", "pending"].includes(document.getElementById("action-" + a).dataset.state), act);
    return page.evaluate((a) => {
      const block = document.getElementById("action-" + a);
      return { state: block.dataset.state, status: block.querySelector(".status").textContent,
        exchange: block.querySelector(".exchange").textContent,
        meaning: block.querySelector(".meaning")?.dataset.name,
        decoded: Object.fromEntries([...block.querySelectorAll(".decoded dt")].map((dt) => [dt.textContent, dt.nextSibling.textContent])) };
    }, act);
  }

  // Chooses a card ("" for none) in a place's menu of the panel, and waits
  // for the panel to show the reader's new state.
  async function placeCard({ place, card }) {
    const menu = await page.$(`#control-places select[data-place=${place}]`);
    await menu.selectOption(card);
    await page.waitForFunction((old) => !old.isConnected, menu);
    assert.equal(await page.inputValue(`#control-places select[data-place=${place}]`), card);
  }

  async function control(selector, expect) {
    await page.click(selector);
    await page.waitForFunction((text) => document.getElementById("control-status").textContent.includes(text), expect);
  }

  test("every action has its button, in its family", async () => {
    const shown = await page.evaluate(() => [...document.querySelectorAll("section[id^=family-] .action")]
      .map((block) => [block.closest("section").id.slice("family-".length), block.dataset.act]));
    assert.deepEqual(shown, FAMILIES.flatMap((f) => ACTIONS.filter((r) => r.family === f.id).map((r) => [f.id, r.act])));
    assert.equal(shown.length, 50); // the reader's 49 and the service's status
  });

  test("every button answers as the action table says", async () => {
    const order = ["open", ...ACTIONS.map((r) => r.act).filter((a) => a !== "open" && a !== "close"), "close"];
    const seen = [];
    const placed = new Set();
    for (const act of order) {
      const family = FAMILIES.find((f) => f.id === ACTIONS.find((r) => r.act === act).family);
      if (family.card && !placed.has(family.id)) {
        await placeCard(family.card);
        placed.add(family.id);
      }
      const shown = await press(act);
      seen.push([act, shown.state]);
      // The exact text sent: its tag last.
      assert.match(shown.exchange, new RegExp(`^→ \\{"_act":"${act}".*"_tflag":"d\\d+"\\}(\n|$)`), `${act} shows its request`);
      if (shown.state === "ok")
        assert.match(shown.exchange, /\n← \{.*"success":0/, `${act} shows its reply`);
    }
    assert.deepEqual(seen, order.map((act) => [act, expectedState(ACTIONS.find((r) => r.act === act))]));
  });

  test("the identity card shows as a table with its photo", async () => {
    await press("open");
    assert.equal((await press("readIDCardEX")).state, "ok");
    await page.waitForFunction(() => document.getElementById("idcard-photo").complete);
    const view = await page.evaluate(() => {
      const photo = document.getElementById("idcard-photo");
      const row = (key) => document.querySelector(`#idcard-fields tr[data-key=${key}] td`)?.textContent;
      return { width: photo.naturalWidth, height: photo.naturalHeight, name: row("name"), number: row("number"),
        fingerprints: row("figData"), exchange: document.querySelector("#action-readIDCardEX pre").textContent };
    });
    assert.deepEqual([view.width, view.height], [102, 126]);
    assert.equal(view.name, "林晓雯");
    assert.equal(view.number, "330106199203140023");
    assert.match(view.fingerprints, /^43[0-9A-F]{30}…[0-9A-F]{8} \(2048 characters\)$/);
    assert.match(view.exchange, /"photoBase64":"\/9j\/[^"]*…[^"]* \(\d+ characters\)"/);
    await page.locator("#family-idcard").screenshot({ path: artifactPath("idcard-section.png") });
    // The extended read leaves the photo files in /tmp; the plain read removes them.
    assert.equal((await press("readIDCard")).state, "ok");
  });

  test("a card taken from the field makes mcardPowerOn fail with the driver's code", async () => {
    await placeCard({ place: "field", card: "" });
    assert.equal(await page.textContent("#control-places tr[data-place=field] td.about"), "empty");
    const failed = await press("mcardPowerOn");
    assert.equal(failed.state, "failed");
    const [code, msg] = failed.status.split(" ");
    assert.ok(Number(code) < -1, `a driver code, not the not-open -1: ${failed.status}`);
    assert.equal(msg, "请求TypeA卡失败");
    await placeCard({ place: "field", card: "typeA-cpu" });
    assert.match(await page.textContent("#control-places tr[data-place=field]"), /Type A CPU card/);
    assert.equal((await press("mcardPowerOn")).state, "ok");
  });

  test("an unplugged reader: the page says so, actions fail with ReaderGone, and once it is back they work with no close and open", async () => {
    await press("open");
    await page.waitForFunction(() => /^open \(firmware LV-EMU/.test(document.getElementById("reader-state").textContent));
    await control("#control-unplug", "reader unplugged");
    await page.waitForFunction(() => /^unplugged/.test(document.getElementById("reader-state").textContent));
    const failed = await press("readIDCard");
    assert.deepEqual([failed.state, failed.status, failed.meaning], ["failed", "-31 读卡器已拔出", "ReaderGone"]);
    await control("#control-plug", "reader plugged in");
    await page.waitForFunction(() => /^open /.test(document.getElementById("reader-state").textContent));
    assert.equal((await press("readIDCard")).state, "ok");
    const opened = await press("open");
    assert.deepEqual([opened.state, opened.status], ["failed", "-1 端口未关闭"]); // still open: nothing to do
  });

  test("a slow reader still answers", async () => {
    await page.fill("#control-latency", "5");
    await control("#control-set-latency", "latency 5 ms");
    assert.equal((await press("version")).state, "ok");
    await page.fill("#control-latency", "0");
    await control("#control-set-latency", "latency 0 ms");
  });

  test("a failed read empties the identity view", async () => {
    await press("open");
    assert.equal((await press("readIDCard")).state, "ok");
    await placeCard({ place: "idcard", card: "" });
    const failed = await press("readIDCard");
    assert.deepEqual([failed.state, failed.meaning], ["failed", "IdCardReadFailed"]);
    const view = await page.evaluate(() => ({ hidden: document.getElementById("idcard-view").hidden,
      photo: document.getElementById("idcard-photo").getAttribute("src"),
      rows: document.querySelectorAll("#idcard-fields tr").length }));
    assert.deepEqual(view, { hidden: true, photo: null, rows: 0 });
    await placeCard({ place: "idcard", card: "idcard" });
  });

  // What the page makes of the demo cards' hex.
  const kDecoded = [
    { acts: ["cardClodPowerOn", "cardRun"], shows: { "response": "6F088406D15600000100", "status word": "9000: success" } },
    { acts: ["cardClodPowerOn"], shows: { "historical bytes": "DORVENT1 (8 bytes)" } },
    { acts: ["card44PowerOn", "card44Read"], card: { place: "slot12", card: "4442" }, shows: { "as text": "DORVENT LOYALTY1" } },
    { acts: ["card44PowerOn", "card44ReadePro"], shows: { "protected bytes": "0-5" } },
    { acts: ["readBankNO"], card: { place: "field", card: "bank" }, shows: { "account number": "6299 0099 8877 6655 440 (Luhn check passes)" } },
    { acts: ["readSci"], shows: { birthday: "1988-05-12", validterm: "2031-03-15" } },
    { acts: ["card15693Find"], card: { place: "field", card: "iso15693" }, shows: { UID: "E004015012345678", DSFID: "00" } },
    { acts: ["card15693Info"], shows: { UID: "E004015012345678", memory: "28 blocks of 4 bytes" } },
    { acts: ["card15693Read"], fields: { addr: "0" }, shows: { "as text": "DORV" } },
    { acts: ["cardm1Find", "cardm1Auth", "cardm1Read"], card: { place: "field", card: "m1" }, fields: { addr: "1" },
      shows: { "as text": "DORVENT M1 DEMO·" } },
  ];

  test("hex whose meaning is known is decoded", async () => {
    await press("open");
    for (const row of kDecoded) {
      if (row.card)
        await placeCard(row.card);
      let shown;
      for (const act of row.acts) {
        for (const [key, value] of Object.entries(row.fields || {}))
          if (await page.locator(`#action-${act} input[name=${key}]`).count())
            await page.fill(`#action-${act} input[name=${key}]`, value);
        shown = await press(act);
        assert.equal(shown.state, "ok", `${act}: ${shown.status}`);
      }
      for (const [label, text] of Object.entries(row.shows))
        assert.equal(shown.decoded[label], text, `${row.acts.at(-1)} shows its ${label}`);
    }
    await placeCard({ place: "field", card: "typeA-cpu" });
  });

  test("copy as code gives a script that gets the same reply", async () => {
    await press("open");
    for (const act of ["cardRun", "card44Read", "readIDCard", "scardGet"]) {
      await press(act);
      await page.click(`#action-${act} button.copy`);
      await page.waitForFunction((a) => document.querySelector(`#action-${a} .copied`).textContent, act);
      const { code, copied } = await page.evaluate(async (a) => ({
        code: document.querySelector(`#action-${a} .code`).textContent,
        copied: await navigator.clipboard.readText(),
      }), act);
      assert.equal(copied, code, "the clipboard holds the code shown");
      // Run as a developer would in the console, with its own connection.
      const [theirs, ours] = await page.evaluate(async ([a, script]) => {
        const run = new (Object.getPrototypeOf(async () => {}).constructor)(script + "\nreturn reply;");
        return [await run(), document.getElementById("action-" + a).reply];
      }, [act, code]);
      delete theirs._tflag;
      delete ours._tflag;
      assert.deepEqual(theirs, ours, `${act}: the copied code gets the same reply`);
    }
  });

  test("the free request box sends any request and shows what was sent", async () => {
    const send = async (text) => {
      await page.fill("#free-text", text);
      await page.evaluate(() => { document.getElementById("free").dataset.state = ""; });
      await page.click("#free-send");
      await page.waitForFunction(() => !["", "pending"].includes(document.getElementById("free").dataset.state));
      return page.evaluate(() => ({ state: document.getElementById("free").dataset.state,
        status: document.getElementById("free-status").textContent, exchange: document.getElementById("free-exchange").textContent }));
    };
    const version = await send('{"_act": "version", "_tflag": "mine"}');
    assert.equal(version.state, "ok");
    assert.match(version.exchange, /^→ \{"_act":"version","_tflag":"d\d+"\}\n← \{.*"functionName":"version"/);
    const unknown = await send('{"_act": "hello", "x": "1"}');
    assert.deepEqual([unknown.state, unknown.status], ["unknown", "unknown action: the service sent the request back"]);
    assert.equal((await send("{not json")).state, "error");
  });

  test("a call that waits behind a swipe read says so; the swipe options reach the head", async () => {
    await press("open");
    await page.fill("#action-scardSet input[name=outInfo]", "0");
    assert.equal((await press("scardSet")).state, "ok");
    // Whatever swipe is still queued goes first.
    while (/swipes queued [1-9]/.test(await page.textContent("#control-status")))
      await press("scardRead");
    await page.fill("#swipe-track2", "4000123412341234=30019990");
    await page.fill("#swipe-after", "2");
    await page.evaluate(() => { document.getElementById("action-scardRead").dataset.state = ""; });
    await page.click("#action-scardRead button.run");
    await page.click("#action-beep button.run");
    await page.waitForFunction(() => /waiting behind scardRead, which waits up to 10 s for a swipe/
      .test(document.querySelector("#action-beep .status").textContent));
    await control("#control-swipe", "swipes queued 1");
    await page.waitForFunction(() => document.getElementById("action-scardRead").dataset.state === "ok");
    await page.waitForFunction(() => document.getElementById("action-beep").dataset.state === "ok");
    const track = await page.evaluate(() => document.querySelector("#action-scardRead .decoded dd").textContent);
    assert.equal(track, "4000123412341234=30019990 (account 4000 1234 1234 1234, expires 2030-01)");
    await page.fill("#swipe-track2", "");
    await page.fill("#swipe-after", "0");
  });

  test("the panel and the service state come back when the service restarts", async () => {
    await service.stop();
    await page.waitForFunction(() => /not connected/.test(document.getElementById("control-status").textContent));
    await page.waitForFunction(() => /lost|not reachable/.test(document.getElementById("service-state").textContent));
    await service.start();
    await page.waitForFunction(() => /plugged in/.test(document.getElementById("control-status").textContent));
    await page.waitForFunction(() => /connected again/.test(document.getElementById("service-state").textContent));
    assert.equal(await page.locator("#control-places select").count(), 11);
    assert.equal((await press("open")).state, "ok");
  });
});

// A service that answers every request with the next code of a list.
function scriptedService(codes) {
  const server = new WebSocketServer({ host: "127.0.0.1", port: 0 });
  server.on("connection", (socket) => socket.on("message", (text) => {
    const request = JSON.parse(text);
    // The page asks for the reader's state by itself: that takes no code.
    if (request._act === "serviceStatus")
      return socket.send(JSON.stringify({ _tflag: request._tflag, functionName: request._act, msg: "测试", success: 0,
        readerOpen: true, readerPresent: true, readerFirmware: "", readerOpenedAt: "", serviceVersion: "0" }));
    socket.send(JSON.stringify({ _tflag: request._tflag, functionName: request._act, msg: "测试", success: codes.shift() }));
  }));
  return new Promise((resolve) => server.on("listening", () => resolve({ port: server.address().port,
    close: () => new Promise((done) => { for (const c of server.clients) c.terminate(); server.close(done); }) })));
}

describe("result codes on the demo page", () => {
  test("every code of the table, and one of each range, shows its name, meaning and advice", async () => {
    const samples = [...RESULT_CODES.map((r) => r.code).filter((c) => c !== 0), 3, -0x63C2, -6];
    const scripted = await scriptedService([...samples]);
    const browser = await launchChromium();
    try {
      const page = await browser.newPage();
      await page.goto(`${kPageUrl}?service=ws://127.0.0.1:${scripted.port}&control=ws://127.0.0.1:1`);
      const listed = await page.locator("#codes-table tr").count();
      assert.equal(listed, RESULT_CODES.length + RESULT_RANGES.length);
      for (const code of samples) {
        await page.evaluate(() => { document.getElementById("action-beep").dataset.state = ""; });
        await page.click("#action-beep button.run");
        await page.waitForFunction(() => !["", "pending"].includes(document.getElementById("action-beep").dataset.state));
        const shown = await page.evaluate(() => {
          const block = document.getElementById("action-beep");
          const meaning = block.querySelector(".meaning");
          return { state: block.dataset.state, status: block.querySelector(".status").textContent,
            name: meaning?.dataset.name, text: meaning?.textContent };
        });
        const expected = resultCode(code);
        assert.deepEqual([shown.state, shown.status, shown.name], ["failed", `${code} 测试`, expected.name], `code ${code}`);
        for (const part of [expected.meaning, expected.meaningZh, expected.advice])
          assert.ok(shown.text.includes(part), `code ${code} shows "${part}"`);
        if (code === -0x63C2)
          assert.match(shown.text, /Status word 63C2: verification failed, 2 tries left/);
      }
    } finally {
      await browser.close();
      await scripted.close();
    }
  });
});
