// Shared by the browser tests: Debian's Chromium through playwright-core
// (never a downloaded browser), dorvent-emu as a child process and its
// control channel, and the source tree served on loopback.
import { spawn } from "node:child_process";
import { mkdirSync, readFileSync } from "node:fs";
import { createServer } from "node:http";
import { connect } from "node:net";
import { dirname, extname, join } from "node:path";
import { fileURLToPath } from "node:url";

export const kRepoDir = join(dirname(fileURLToPath(import.meta.url)), "..", "..");
export const kWebDir = join(kRepoDir, "web");
export const kServicePort = 17798;
export const kControlPort = 17799;
const kChromium = "/usr/bin/chromium";

// Written into the build tree by ctest (DORVENT_ARTIFACTS), else next to the tests.
export const kArtifacts = process.env.DORVENT_ARTIFACTS || join(dirname(fileURLToPath(import.meta.url)), "artifacts");

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = connect(port, "127.0.0.1");
    socket.once("connect", () => { socket.destroy(); resolve(true); });
    socket.once("error", () => resolve(false));
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(what, condition, ms) {
  const deadline = Date.now() + ms;
  while (!(await condition())) {
    if (Date.now() > deadline)
      throw new Error(`gave up waiting for ${what}`);
    await sleep(50);
  }
}

// One dorvent-emu process, listening on the service and the control port.
export class Service {
  constructor() {
    this.binary = process.env.DORVENT_EMU;
    if (!this.binary)
      throw new Error("DORVENT_EMU names no dorvent-emu binary");
    this.proc = null;
    this.stderr = "";
  }

  async start() {
    await waitFor("a previous service to go", async () => !(await portOpen(kServicePort)), 10000);
    this.stderr = "";
    this.proc = spawn(this.binary, ["-platform", "offscreen"], {
      env: Object.assign({}, process.env, { QT_QPA_PLATFORM: "offscreen" }),
      stdio: ["ignore", "ignore", "pipe"],
    });
    this.proc.stderr.on("data", (chunk) => { this.stderr += chunk; });
    const exited = new Promise((resolve) => this.proc.once("exit", resolve));
    this.exited = exited;
    // Sanitizer builds start slowly.
    await waitFor("dorvent-emu to listen", async () => {
      if (this.proc.exitCode !== null)
        throw new Error(`dorvent-emu exited with ${this.proc.exitCode}:\n${this.stderr}`);
      return (await portOpen(kServicePort)) && (await portOpen(kControlPort));
    }, 60000);
    return this;
  }

  async stop() {
    if (!this.proc || this.proc.exitCode !== null)
      return;
    this.proc.kill("SIGTERM");
    const timer = setTimeout(() => this.proc.kill("SIGKILL"), 10000);
    await this.exited;
    clearTimeout(timer);
  }
}

const kTypes = { ".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript", ".json": "application/json" };

// Serves the source tree on 127.0.0.1 (ES modules need http, not file://),
// so pages find the client at /web/ as they do beside it on disk; "/" is an
// empty page for the client tests, and "extra" maps further paths to texts.
export function serveWeb(extra = {}) {
  const server = createServer((request, response) => {
    const path = new URL(request.url, "http://x").pathname;
    if (path === "/" || extra[path] !== undefined) {
      response.writeHead(200, { "content-type": kTypes[extname(path)] || "text/html" });
      return response.end(extra[path] ?? "<!doctype html><meta charset=utf-8><title>client tests</title>");
    }
    try {
      const body = readFileSync(join(kRepoDir, path.replace(/^\/+/, "").replace(/\.\.+/g, "")));
      response.writeHead(200, { "content-type": kTypes[extname(path)] || "application/octet-stream" });
      response.end(body);
    } catch {
      response.writeHead(404);
      response.end();
    }
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: `http://127.0.0.1:${server.address().port}`,
    close: () => new Promise((done) => server.close(done)),
  })));
}

export async function launchChromium() {
  let chromium;
  try {
    ({ chromium } = await import("playwright-core"));
  } catch {
    throw new Error("playwright-core is missing: run scripts/install-deps.sh");
  }
  return chromium.launch({
    executablePath: kChromium,
    headless: true,
    // launch() gives the browser a fresh, temporary profile directory.
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

// One command on dorvent-emu's control channel; resolves with its reply.
export async function control(command) {
  const { WebSocket } = await import("ws");
  const socket = new WebSocket(`ws://127.0.0.1:${kControlPort}`);
  try {
    await new Promise((resolve, reject) => { socket.once("open", resolve); socket.once("error", reject); });
    const reply = new Promise((resolve) => socket.once("message", (text) => resolve(JSON.parse(text))));
    socket.send(JSON.stringify(command));
    return await reply;
  } finally {
    socket.close();
  }
}

export function artifactPath(name) {
  mkdirSync(kArtifacts, { recursive: true });
  return join(kArtifacts, name);
}

export { sleep, waitFor };
