// What every browser test file shares: the test bridge as a child process, Debian's chromium
// through playwright-core, a stand-in for the host's web-viewer interface, waits and screenshots.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createServer } from "node:http";
import { mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { after, before } from "node:test";
import { chromium } from "playwright-core";

// Set by CTest (tests/browser/CMakeLists.txt); the defaults fit a dev-preset build.
const buildDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../../build/dev");
const { LUMENBOX_TEST_BRIDGE: bridgeBinary = path.join(buildDir, "tests/browser/lumenbox-test-bridge"),
  LUMENBOX_SCREENSHOT_DIR: screenshotDir = path.join(buildDir, "screenshots") } = process.env;
// Every wait is bounded by this, so that a broken page fails instead of hanging.
export const WAIT_MS = 15000;
const scratch = (name) => mkdtempSync(path.join(tmpdir(), name));
const removeDir = (dir) => rmSync(dir, { recursive: true, force: true });

// lumenbox-test-bridge with a home directory of its own; its commands are answered a line each.
class Bridge {
  static async start() {
    const bridge = new Bridge(), home = (bridge.home = scratch("lumenbox-browser-"));
    const env = { ...process.env, HOME: home, LUMENBOX_PLUGIN_LOG_PATH: path.join(home, "bridge.log"),
      XDG_CONFIG_HOME: "" };
    const child = (bridge.child = spawn(bridgeBinary, ["--port", "0"], { env, stdio: ["pipe", "pipe", "inherit"] }));
    bridge.lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
    bridge.exited = new Promise((resolve) => child.once("exit", resolve).once("error", resolve));
    bridge.port = Number(/^listening (\d+)$/.exec(await bridge.nextLine())?.[1]);
    assert.ok(bridge.port > 0, `the test bridge (${bridgeBinary}) did not start`);
    return bridge;
  }

  // The next line the bridge printed; undefined once it has ended.
  async nextLine() { return (await this.lines.next()).value; }

  // Sends commands (see TestBridge.cpp) and checks each answer.
  async command(...lines) {
    for (const line of lines) {
      this.child.stdin.write(line + "\n");
      assert.match(await this.nextLine(), /^(ok|stopped|listening \d+)$/, line);
    }
  }

  url(target) { return `http://127.0.0.1:${this.port}${target}`; }
  get(target, headers = {}) { return fetch(this.url(target), { headers }); }
  async json(target) { return (await this.get(target)).json(); }
  post(target, body) {
    return fetch(this.url(target),
      { method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify(body) });
  }

  async stop() {
    this.child.stdin.end();
    await this.exited;
    removeDir(this.home);
  }
}

// Chromium with a fresh profile. Requests to any host but `hosts` are refused and remembered;
// uncaught page errors are remembered too. `args` are added to chromium's.
async function launchBrowser({ args = [], hosts = ["127.0.0.1"] }) {
  const profile = scratch("lumenbox-chromium-");
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.LUMENBOX_CHROMIUM ?? "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--no-first-run", "--disable-quic", ...args],
    viewport: { width: 420, height: 640 }, deviceScaleFactor: 2,
  });
  const browser = { context, problems: [], profile };
  context.on("weberror", (error) => browser.problems.push(String(error.error())));
  await context.route("**/*", (route) => {
    const url = new URL(route.request().url());
    if (url.protocol === "data:" || hosts.includes(url.hostname)) return route.continue();
    return (browser.problems.push(url.href), route.abort());
  });
  return browser;
}

// Starts a bridge and a browser for the suite around it; when the suite ends, checks that no page
// threw and that no page asked for anything but the allowed hosts.
export function useBridgeAndBrowser({ args, hosts } = {}) {
  const suite = {};
  before(async () => {
    suite.bridge = await Bridge.start();
    suite.browser = await launchBrowser({ args, hosts });
  });
  after(async () => {
    const { bridge, browser } = suite;
    await browser?.context.close();
    if (browser) removeDir(browser.profile);
    await bridge?.stop();
    assert.deepEqual(browser?.problems ?? [], []);
  });
  return suite;
}

// A web site of its own origin for the suite around it (another site, a development server):
// `render(url)` gives the HTML of each page. The returned object's `port` is set once it listens.
export function useSite(render) {
  const site = {};
  const server = createServer((request, response) => {
    response.setHeader("content-type", "text/html; charset=utf-8");
    response.end(render(new URL(request.url, "http://127.0.0.1")));
  });
  before(() => new Promise((resolve) => server.listen(0, "127.0.0.1", resolve))
    .then(() => (site.port = server.address().port)));
  after(() => new Promise((resolve) => server.close(resolve)));
  return site;
}

// Runs in the web viewer page before its own scripts: the host's `FileMaker` object, whose scripts
// answer as a file's would. LB_get_version hands back the add-on's version, Echo hands back
// {"echoed": data}, Greet calls the page's showGreeting and lumenbox.notify, any other does nothing.
function fileMakerStandIn({ addOnVersion }) {
  const calls = (window.__fileMakerCalls = []);
  function play({ name, param }) {
    let envelope = null;
    try { envelope = JSON.parse(param); } catch {}  // Greet's parameter is plain text
    const answer = (result) => window.handleFMCallback(JSON.stringify(result), envelope?.callback?.fetchId);
    if (name === "LB_get_version") answer({ version: addOnVersion });
    if (name === "Echo") answer({ echoed: envelope.data });
    if (name === "Greet") window.showGreeting("Hello, " + param + "!"), window.lumenbox.notify({ greeted: param });
  }
  const perform = (call) => (calls.push(call), setTimeout(() => play(call), 0));  // runs after the call returns
  window.FileMaker = {
    PerformScript: (name, param) => perform({ name, param }),
    PerformScriptWithOption: (name, param, option) => perform({ name, param, option }),
  };
}

// Opens the web viewer page of `fileName` with the stand-in and waits until the bridge has the
// file registered.
export async function openWebviewer({ bridge, browser }, fileName, { addOnVersion = "3.2.0", query = "" } = {}) {
  const page = await browser.context.newPage();
  await page.addInitScript(fileMakerStandIn, { addOnVersion });
  await page.goto(bridge.url(`/webviewer?fileName=${encodeURIComponent(fileName)}${query}`));
  await waitForRegistered(page);
  return page;
}

export const waitForRegistered = (page) =>
  page.locator('#status[data-registered="true"]').waitFor({ timeout: WAIT_MS });
export const waitForText = (locator, text) =>
  locator.filter({ hasText: text }).first().waitFor({ timeout: WAIT_MS });
export const waitGone = (locator, text) =>
  locator.filter({ hasText: text }).waitFor({ state: "detached", timeout: WAIT_MS });
export const waitUntil = (page, fn, arg) => page.waitForFunction(fn, arg, { timeout: WAIT_MS });
export const textOf = (page, selector) => page.locator(selector).first().textContent();
// A console message of `page` that contains `text`, once it comes.
export const consoleMessage = (page, text) =>
  page.waitForEvent("console", { predicate: (message) => message.text().includes(text), timeout: WAIT_MS });

// Screenshots of `page` for a reviewer, under `name`-light and `name`-dark.
export async function screenshot(page, name) {
  mkdirSync(screenshotDir, { recursive: true });
  for (const colorScheme of ["light", "dark"]) {
    await page.emulateMedia({ colorScheme });
    await page.screenshot({ path: path.join(screenshotDir, `${name}-${colorScheme}.png`), fullPage: true });
  }
}
