// The example pages as a page author uses them, opened as files and served,
// against dorvent-emu; and the client loaded in each of the README's three
// ways: a classic script, a module through an import map, a bundle.
import assert from "node:assert/strict";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";
import { pathToFileURL } from "node:url";

import { Service, control, kRepoDir, kWebDir, launchChromium, serveWeb } from "./support.mjs";

describe("example pages", () => {
  const service = new Service();
  let browser, web;
  const origins = {};

  before(async () => {
    await service.start();
    web = await serveWeb();
    browser = await launchChromium();
    origins.file = pathToFileURL(kRepoDir).href;
    origins.http = web.url;
  });

  after(async () => {
    await browser?.close();
    await web?.close();
    await service.stop();
  });

  async function open(origin, path) {
    const page = await browser.newPage();
    await page.goto(`${origins[origin]}/${path}`);
    return page;
  }

  // Presses "read" and waits until the page has either a card or a problem.
  async function readCard(page) {
    await page.click("#read");
    await page.waitForFunction(() => !document.getElementById("card").hidden ||
      !["", "Reading…"].includes(document.getElementById("problem").textContent));
    return page.evaluate(() => ({
      shown: !document.getElementById("card").hidden,
      name: document.getElementById("name").textContent,
      photo: document.getElementById("photo").complete ? document.getElementById("photo").naturalWidth : -1,
      problem: document.getElementById("problem").textContent,
    }));
  }

  for (const origin of ["file", "http"]) {
    test(`the identity-card page reads the card (${origin})`, async () => {
      const page = await open(origin, "examples/idcard.html");
      const card = await readCard(page);
      await page.waitForFunction(() => document.getElementById("photo").complete);
      assert.deepEqual([card.shown, card.name, card.problem], [true, "林晓雯", ""]);
      assert.equal(await page.evaluate(() => document.getElementById("photo").naturalWidth), 102);
      await page.close();
    });

    test(`the APDU page powers the card on and gets 9000 (${origin})`, async () => {
      // A fresh service: nothing is powered on before the page does it.
      await service.stop();
      await service.start();
      const page = await open(origin, "examples/apdu.html");
      await page.click("#send");
      await page.waitForFunction(() => document.getElementById("sw").textContent || document.getElementById("problem").textContent);
      const shown = await page.evaluate(() => Object.fromEntries(["atr", "response", "sw", "problem"]
        .map((id) => [id, document.getElementById(id).textContent])));
      assert.deepEqual(shown, { atr: "3B680000444F5256454E5431", response: "6F088406D15600000100", sw: "9000", problem: "" });
      await page.close();
    });
  }

  test("the identity-card page: an unplugged reader, no card, no service, the service restarted", async () => {
    const page = await open("file", "examples/idcard.html");
    assert.equal((await readCard(page)).shown, true);

    await control({ cmd: "unplug" });
    const unplugged = await readCard(page);
    assert.deepEqual([unplugged.shown, unplugged.problem], [false, "The reader is unplugged: plug it in, then try again."]);
    await control({ cmd: "plug" });
    assert.equal((await readCard(page)).shown, true); // no close and open

    await control({ cmd: "remove", place: "idcard" });
    const noCard = await readCard(page);
    assert.deepEqual([noCard.shown, noCard.name !== "" && noCard.photo > 0], [false, false]);
    assert.match(noCard.problem, /No card found/);

    await service.stop();
    const noService = await readCard(page);
    assert.equal(noService.shown, false);
    assert.match(noService.problem, /not running/);

    // A new process: its reader is closed and holds the demo deck again.
    await service.start();
    const again = await readCard(page);
    assert.deepEqual([again.shown, again.name, again.problem], [true, "林晓雯", ""]);
    await page.close();
  });

  test("the README's first page is the example's own script", () => {
    const readme = readFileSync(join(kRepoDir, "README.md"), "utf8");
    const snippet = /The script of the first one[^]*?```js\n([^]*?)```/.exec(readme)[1];
    const statements = (text) => text.split("\n").map((line) => line.replace(/\s+\/\/.*$/, "").trim()).filter(Boolean);
    const page = new Set(statements(readFileSync(join(kRepoDir, "examples", "idcard.html"), "utf8")));
    const missing = statements(snippet).filter((line) => !page.has(line));
    assert.deepEqual(missing, []);
  });

  test("a module script with an import map, served", async () => {
    const page = await open("http", "examples/module.html");
    await page.waitForFunction(() => document.getElementById("version").textContent !== "…");
    assert.match(await page.textContent("#version"), /^\S+/);
    assert.doesNotMatch(await page.textContent("#version"), /not running|Error/);
    await page.close();
  });

  test("a TypeScript page bundled by esbuild from the installed package", async () => {
    const { build } = await import("esbuild");
    // What "npm install path/to/dorvent/web" leaves: a link in node_modules.
    const app = mkdtempSync(join(tmpdir(), "dorvent-bundle-"));
    try {
      mkdirSync(join(app, "node_modules"));
      symlinkSync(kWebDir, join(app, "node_modules", "dorvent"), "dir");
      writeFileSync(join(app, "main.ts"), `import { DorventClient, type Replies } from "dorvent";
const client = new DorventClient();
(async () => {
  await client.ensureOpen();
  const reply: Replies["readIDCardUID"] = await client.call("readIDCardUID");
  document.body.dataset.uid = reply.data ?? "";
})().catch((error: Error) => { document.body.dataset.uid = "failed: " + error.message; });
`);
      const bundle = await build({ entryPoints: [join(app, "main.ts")], bundle: true, write: false, format: "iife",
        absWorkingDir: app, logLevel: "silent" });
      const served = await serveWeb({ "/app.js": bundle.outputFiles[0].text,
        "/app.html": "<!doctype html><meta charset=utf-8><body><script src=/app.js></script>" });
      const page = await browser.newPage();
      try {
        await page.goto(served.url + "/app.html");
        await page.waitForFunction(() => document.body.dataset.uid);
        assert.match(await page.evaluate(() => document.body.dataset.uid), /^[0-9A-F]{16}$/);
      } finally {
        await page.close();
        await served.close();
      }
    } finally {
      rmSync(app, { recursive: true, force: true });
    }
  });
});
