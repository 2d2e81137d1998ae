// The configuration page: the bridge's sessions and persistent tokens, and revoking a session.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import { Bridge, WAIT_MS, launchBrowser, screenshot, waitForText } from "../support/harness.mjs";

describe("configuration page", () => {
  let bridge;
  let browser;

  before(async () => {
    bridge = await Bridge.start();
    browser = await launchBrowser();
  });

  // The page is made for an ordinary browser window.
  async function openConfig() {
    const page = await browser.context.newPage();
    await page.setViewportSize({ width: 960, height: 720 });
    await page.goto(bridge.url("/config"));
    return page;
  }

  after(async () => {
    const pageErrors = browser?.pageErrors ?? [];
    await browser?.close();
    await bridge?.stop();
    assert.deepEqual(pageErrors, []);
  });

  test("shows empty lists when nothing is authorized", async () => {
    const page = await openConfig();
    await waitForText(page.locator("#sessions"), "No active sessions.");
    await waitForText(page.locator("#tokens"), "No registered persistent tokens.");
    assert.equal(await page.locator("#notice").textContent(), "Enhanced Security off. Session authorization unenforced.");
    assert.equal(await page.locator("dd").nth(1).textContent(), `http://127.0.0.1:${bridge.port}`);
    await screenshot(page, "config-empty");
    await page.close();
  });

  test("lists sessions and tokens and revokes a session", async () => {
    assert.equal(await bridge.command("security on"), "ok");
    assert.equal(await bridge.command("approve 5d41402a-desk-0001 Invoices desk-agent"), "ok");
    assert.equal(await bridge.command("approve 5d41402a-desk-0001 Contacts desk-agent"), "ok");
    assert.equal(await bridge.command("approve 9e107d9d-code-0002 Invoices code-helper 900"), "ok");
    assert.equal(await bridge.command("token c4ca4238a0b923820dcc Invoices"), "ok");

    const page = await openConfig();
    const rows = page.locator("#sessions li");
    await waitForText(rows, "9e107d9d");
    assert.equal(await rows.count(), 2);
    assert.match(await rows.nth(0).locator("span").textContent(), /^5d41402a - Contacts, Invoices - 3[56]\d\ds remaining$/);
    assert.match(await rows.nth(1).locator("span").textContent(), /^9e107d9d - Invoices - [89]\d\ds remaining$/);
    assert.equal(await page.locator("#tokens li").textContent(), "c4ca4238 - Invoices");
    assert.equal(await page.locator("#notice").textContent(), "Enhanced Security on. Script calls require authorization.");
    assert.equal(await page.locator("dd").first().textContent(), "v3.2.0");
    await screenshot(page, "config-light");
    await page.emulateMedia({ colorScheme: "dark" });
    await screenshot(page, "config-dark");
    await page.emulateMedia({ colorScheme: "light" });

    await page.getByRole("button", { name: "Revoke session 9e107d9d" }).click();
    await rows.filter({ hasText: "9e107d9d" }).waitFor({ state: "detached", timeout: WAIT_MS });
    const listing = await (await bridge.get("/sessions")).json();
    assert.deepEqual(listing.sessions.map((s) => s.sessionIdPrefix), ["5d41402a"]);
    assert.equal(listing.persistentTokens.length, 1);
    assert.deepEqual(browser.offHost, []);
    await page.close();
  });

  test("says so when the bridge cannot be reached, and recovers", async () => {
    const page = await openConfig();
    await waitForText(page.locator("#sessions"), "5d41402a");
    assert.equal(await bridge.command("stop"), "stopped");
    await waitForText(page.locator("#sessions"), "Could not load sessions. ");
    assert.match(await page.locator("#tokens").textContent(), /^Could not load tokens. /);
    await screenshot(page, "config-unreachable");
    assert.match(await bridge.command("start"), /^listening /);
    // A restarted bridge starts with the same store: the lists come back at the next refresh.
    await waitForText(page.locator("#sessions"), "5d41402a");
    await page.close();
  });
});
