// The demo page as a page author opens it (file://), against dorvent-emu:
// every button answers as the action table says, the identity card shows
// with its photo, and the emulated reader's panel takes cards away and
// unplugs the reader.
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";
import { pathToFileURL } from "node:url";

import { Service, artifactPath, kWebDir, launchChromium } from "./support.mjs";

const { ACTIONS, FAMILIES } = createRequire(import.meta.url)(join(kWebDir, "dorvent.js"));

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
    page = await browser.newPage({ viewport: { width: 1200, height: 900 } });
    await page.goto(pathToFileURL(join(kWebDir, "index.html")).href);
    await page.waitForFunction(() => /plugged in/.test(document.getElementById("control-status").textContent));
  });

  after(async () => {
    await browser?.close();
    await service.stop();
  });

  // Presses an action's button and waits for what it shows.
  async function press(act) {
    await page.evaluate((a) => { document.getElementById("action-" + a).dataset.state = ""; }, act);
    await page.click(`#action-${act} button`);
    await page.waitForFunction((a) => !["", "pending"].includes(document.getElementById("action-" + a).dataset.state), act);
    return page.evaluate((a) => {
      const block = document.getElementById("action-" + a);
      return { state: block.dataset.state, status: block.querySelector(".status").textContent,
        exchange: block.querySelector(".exchange").textContent };
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
    assert.equal(shown.length, 49);
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
      assert.match(shown.exchange, new RegExp(`^→ \\{"_act":"${act}"`), `${act} shows its request`);
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

  test("an unplugged reader fails the next action; after plugging back, close and open work", async () => {
    await control("#control-unplug", "reader unplugged");
    const failed = await press("beep");
    assert.equal(failed.state, "failed");
    assert.ok(Number(failed.status.split(" ")[0]) < -1, failed.status);
    await control("#control-plug", "reader plugged in");
    assert.equal((await press("close")).state, "ok");
    const opened = await press("open");
    assert.deepEqual([opened.state, opened.status], ["ok", "0 打开端口成功"]);
    assert.equal((await press("beep")).state, "ok");
  });

  test("a slow reader still answers", async () => {
    await page.fill("#control-latency", "5");
    await control("#control-set-latency", "latency 5 ms");
    assert.equal((await press("version")).state, "ok");
    await page.fill("#control-latency", "0");
    await control("#control-set-latency", "latency 0 ms");
  });
});
