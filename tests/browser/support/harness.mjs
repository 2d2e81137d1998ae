// Shared pieces of the browser tests: the test bridge as a child process, Debian's chromium
// through playwright-core, a stand-in for the host's web-viewer interface, and screenshots.
import { spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const here = path.dirname(fileURLToPath(import.meta.url));
const buildDir = path.resolve(here, "../../../build");

// Set by CTest (tests/browser/CMakeLists.txt); the defaults fit a dev-preset build.
export const bridgeBinary = process.env.LUMENBOX_TEST_BRIDGE ?? path.join(buildDir, "dev/tests/browser/lumenbox-test-bridge");
export const screenshotDir = process.env.LUMENBOX_SCREENSHOT_DIR ?? path.join(buildDir, "dev/screenshots");
const chromiumPath = process.env.LUMENBOX_CHROMIUM ?? "/usr/bin/chromium";

// Every wait in these tests is bounded by this, so that a broken page fails instead of hanging.
export const WAIT_MS = 15000;

// The bridge alone (lumenbox-test-bridge) with a home directory of its own. Its commands are
// answered one line each, in order.
export class Bridge {
  static async start() {
    const home = mkdtempSync(path.join(tmpdir(), "lumenbox-browser-"));
    const env = { ...process.env, HOME: home, LUMENBOX_PLUGIN_LOG_PATH: path.join(home, "bridge.log") };
    delete env.XDG_CONFIG_HOME;
    const child = spawn(bridgeBinary, ["--port", "0"], { env, stdio: ["pipe", "pipe", "inherit"] });
    const bridge = new Bridge(child, home);
    const first = await bridge.nextLine();
    const match = /^listening (\d+)$/.exec(first);
    if (!match) throw new Error(`the test bridge did not start: ${first}`);
    bridge.port = Number(match[1]);
    return bridge;
  }

  constructor(child, home) {
    this.child = child;
    this.home = home;
    this.lines = [];
    this.waiters = [];
    this.exited = new Promise((resolve) => {
      child.once("exit", resolve);
      child.once("error", resolve);
    });
    createInterface({ input: child.stdout }).on("line", (line) => {
      const waiter = this.waiters.shift();
      if (waiter) waiter.resolve(line);
      else this.lines.push(line);
    });
    const fail = (why) => {
      this.failure = new Error(`the test bridge (${bridgeBinary}) ${why}`);
      for (const waiter of this.waiters.splice(0)) waiter.reject(this.failure);
    };
    child.once("error", (error) => fail(`could not run: ${error.message}`));
    child.once("exit", (code) => fail(`ended with ${code}`));
  }

  nextLine() {
    if (this.lines.length) return Promise.resolve(this.lines.shift());
    if (this.failure) return Promise.reject(this.failure);
    return new Promise((resolve, reject) => this.waiters.push({ resolve, reject }));
  }

  async command(line) {
    this.child.stdin.write(line + "\n");
    return this.nextLine();
  }

  url(target) {
    return `http://127.0.0.1:${this.port}${target}`;
  }

  async get(target, headers = {}) {
    return fetch(this.url(target), { headers });
  }

  async post(target, body, headers = {}) {
    return fetch(this.url(target), {
      method: "POST",
      headers: { "content-type": "application/json", ...headers },
      body: typeof body === "string" ? body : JSON.stringify(body),
    });
  }

  async stop() {
    this.child.stdin.end();
    await this.exited;
    rmSync(this.home, { recursive: true, force: true });
  }
}

// Chromium with a fresh profile. Requests that leave this machine are refused and remembered, so
// a test can check that a page contacted nothing but the bridge; uncaught page errors are
// remembered too.
// `args` are added to chromium's; `hosts` are the host names pages may reach (a test that plays
// another site maps its name to 127.0.0.1 with --host-resolver-rules).
export async function launchBrowser({ args = [], hosts = ["127.0.0.1"] } = {}) {
  const profile = mkdtempSync(path.join(tmpdir(), "lumenbox-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    args: [
      "--no-sandbox",
      "--disable-gpu",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--no-first-run",
      "--disable-quic",
      ...args,
    ],
    viewport: { width: 420, height: 640 },
    deviceScaleFactor: 2,
  });
  // Uncaught errors of any page: a test suite ends by checking that there were none.
  const pageErrors = [];
  context.on("weberror", (error) => pageErrors.push(String(error.error())));
  const offHost = [];
  await context.route("**/*", (route) => {
    const url = new URL(route.request().url());
    if (url.protocol === "data:" || hosts.includes(url.hostname)) return route.continue();
    offHost.push(url.href);
    return route.abort();
  });
  return {
    context,
    offHost,
    pageErrors,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Runs in the web viewer page before its own scripts: the host's `FileMaker` object, whose
// scripts answer the way FileMaker scripts of a file with the add-on do.
//   LB_get_version  hands back the add-on's version
//   Echo            hands back {"echoed": data}
//   Greet           calls the page's showGreeting and lumenbox.notify callbacks
//   anything else   does nothing (LB_close_MCP, for instance)
export function fileMakerStandIn({ addOnVersion }) {
  const calls = [];
  window.__fileMakerCalls = calls;
  function play(name, param) {
    let envelope = null;
    try {
      envelope = JSON.parse(param);
    } catch (error) {
      envelope = null;
    }
    const fetchId = envelope && envelope.callback ? envelope.callback.fetchId : undefined;
    if (name === "LB_get_version") window.handleFMCallback(JSON.stringify({ version: addOnVersion }), fetchId);
    if (name === "Echo") window.handleFMCallback(JSON.stringify({ echoed: envelope.data }), fetchId);
    if (name === "Greet") {
      window.showGreeting("Hello, " + param + "!");
      window.lumenbox.notify({ greeted: param });
    }
  }
  window.FileMaker = {
    PerformScript(name, param) {
      calls.push({ name, param });
      setTimeout(() => play(name, param), 0);  // a script runs after the call returns
    },
    PerformScriptWithOption(name, param, option) {
      calls.push({ name, param, option });
      setTimeout(() => play(name, param), 0);
    },
  };
}

// Opens the web viewer page of `fileName` with the stand-in installed (unless `fileMaker` is
// false) and waits until the bridge has the file registered.
export async function openWebviewer(browser, bridge, fileName, { addOnVersion = "3.2.0", fileMaker = true, query = "" } = {}) {
  const page = await browser.context.newPage();
  if (fileMaker) await page.addInitScript(fileMakerStandIn, { addOnVersion });
  await page.goto(bridge.url(`/webviewer?fileName=${encodeURIComponent(fileName)}${query}`));
  await waitForRegistered(page);
  return page;
}

export async function waitForRegistered(page) {
  await page.locator('#status[data-registered="true"]').waitFor({ timeout: WAIT_MS });
}

export async function waitForText(locator, text) {
  await locator.filter({ hasText: text }).first().waitFor({ timeout: WAIT_MS });
}

export async function screenshot(page, name) {
  mkdirSync(screenshotDir, { recursive: true });
  const file = path.join(screenshotDir, `${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}
