// docs/API.md is kept true by running it: every example there (an ```http request and the ```http
// reply after it, a ```ws transcript) is played against the test bridge and compared with what
// comes back. The rules for writing examples are in the document's "How the examples read".
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { request as httpRequest } from "node:http";
import { test } from "node:test";
import { Bridge, bounded, sseMessages, Webviewer } from "./support/harness.mjs";

const docPath = new URL("../../docs/API.md", import.meta.url);
const ANY = "\u0000any";  // a bare … outside a string: any value at all
const PLACEHOLDER = /…|<([a-z][A-Za-z]*)>/g;

// The document as sections (a heading and what follows it up to the next heading), each a list
// of steps in order: bridge commands from <!-- bridge: a; b --> comments, requests, replies and
// transcripts, with the line each starts on.
function readExamples(text) {
  const sections = [];
  let section = null, fence = null;
  text.split("\n").forEach((line, index) => {
    if (fence) {
      if (!line.startsWith("```")) return fence.lines.push(line);
      const text = fence.lines.join("\n");
      const kind = fence.language === "ws" ? "ws" : text.startsWith("HTTP/1.1 ") ? "reply" : "request";
      if (["http", "ws"].includes(fence.language)) section.steps.push({ kind, text, line: fence.line });
      fence = null;
    } else if (line.startsWith("```")) {
      fence = { language: line.slice(3).trim(), lines: [], line: index + 1 };
    } else if (/^#{1,6} /.test(line)) {
      sections.push((section = { title: line.replace(/^#+ /, ""), steps: [] }));
    } else if (line.startsWith("<!-- bridge:")) {
      const commands = line.replace(/^<!-- bridge:|-->\s*$/g, "").split(";").map((c) => c.trim()).filter(Boolean);
      section.steps.push({ kind: "given", commands, line: index + 1 });
    }
  });
  return sections.filter((s) => s.steps.some((step) => step.kind !== "given"));
}

// JSON as the document writes it, with … standing for any value where a value stands.
function parseExpected(text, where) {
  let out = "", inString = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (inString && c === "\\") out += c + text[++i];
    else if (c === '"') (inString = !inString), (out += c);
    else out += !inString && c === "…" ? JSON.stringify(ANY) : c;
  }
  try { return JSON.parse(out); } catch (error) { assert.fail(`${where}: ${error.message} in ${text}`); }
}

// Checks `actual` against the expected text, where … matches any run of characters and <name>
// the value captured earlier under that name, or captures it now.
function matchText(expected, actual, captures, where) {
  assert.equal(typeof actual, "string", `${where}: expected a string, got ${JSON.stringify(actual)}`);
  let pattern = "", last = 0;
  for (const m of expected.matchAll(PLACEHOLDER)) {
    pattern += escape(expected.slice(last, m.index));
    pattern += !m[1] ? "[\\s\\S]*?" : m[1] in captures ? escape(captures[m[1]]) : `(?<${m[1]}>[\\s\\S]+?)`;
    last = m.index + m[0].length;
  }
  const found = new RegExp(`^${pattern}${escape(expected.slice(last))}$`).exec(actual);
  assert.ok(found, `${where}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  Object.assign(captures, found.groups);
}
const escape = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");

// Deep comparison: objects need the same members (or a "…" member, which allows others), arrays
// the same length; strings go through matchText.
function matchValue(expected, actual, captures, where) {
  if (expected === ANY) return;
  if (typeof expected === "string") return matchText(expected, actual, captures, where);
  const shape = (v) => (v === null ? "null" : Array.isArray(v) ? "array" : typeof v);
  assert.equal(shape(actual), shape(expected), `${where}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  if (Array.isArray(expected)) {
    assert.equal(actual.length, expected.length, `${where}: length of ${JSON.stringify(actual)}`);
    return expected.forEach((item, i) => matchValue(item, actual[i], captures, `${where}[${i}]`));
  }
  if (shape(expected) !== "object") return assert.equal(actual, expected, where);
  const keys = Object.keys(expected).filter((key) => key !== "…");
  if (!("…" in expected)) assert.deepEqual(Object.keys(actual).sort(), keys.sort(), `${where}: members of ${JSON.stringify(actual)}`);
  for (const key of keys) matchValue(expected[key], actual[key], captures, `${where}.${key}`);
}

// Fills in the <name>s captured so far; a name nothing gave yet is a mistake in the document.
function fillIn(text, captures, where) {
  return text.replace(/<([a-z][A-Za-z]*)>/g, (whole, name) => {
    assert.ok(name in captures, `${where}: ${whole} is used before a reply gave it`);
    return captures[name];
  });
}

// "Head line\nName: value\n...\n\nbody" as {start, headers: [[name, value]], body}.
function splitMessage(text) {
  const [head, ...rest] = text.split(/\n\n/);
  const [start, ...fields] = head.split("\n");
  return { start, headers: fields.map((f) => [f.slice(0, f.indexOf(":")).trim(), f.slice(f.indexOf(":") + 1).trim()]),
           body: rest.join("\n\n").trim() };
}

function send(bridge, text) {
  const { start, headers, body } = splitMessage(text);
  const [method, target] = start.split(" ");
  const sent = { host: "127.0.0.1:1365", ...Object.fromEntries(headers.map(([name, value]) => [name.toLowerCase(), value])) };
  if (body) sent["content-length"] = Buffer.byteLength(body);
  return new Promise((resolve, reject) => {
    const req = httpRequest({ host: "127.0.0.1", port: bridge.port, method, path: target, headers: sent, agent: false }, (res) => {
      let data = "";
      res.setEncoding("utf8").on("data", (chunk) => (data += chunk)).on("end", () => resolve({ res, text: data }));
    });
    req.on("error", reject).end(body || undefined);
  });
}

function compareReply(expectedText, { res, text }, captures, where) {
  const expected = splitMessage(expectedText);
  const shown = `${where}: the bridge answered ${res.statusCode} ${res.statusMessage} ${text.slice(0, 2000)}`;
  assert.equal(`HTTP/1.1 ${res.statusCode} ${res.statusMessage}`, expected.start, shown);
  for (const [name, value] of expected.headers) matchText(value, res.headers[name.toLowerCase()], captures, `${where} ${name}`);
  if (!expected.body) return assert.equal(text, "", shown);
  if (expected.body === "…") return;
  if (/^(event|data):/m.test(expected.body) && !expected.body.startsWith("{")) {
    const events = [...expected.body.matchAll(/^data: ?(.*)$/gm)].map(([, data]) => parseExpected(data, where));
    return matchValue(events, sseMessages(text), captures, `${where} (event stream)`);
  }
  matchValue(parseExpected(expected.body, where), parseExpected(text, shown), captures, where);
}

// The transcript's pages: WebSocket connections named in it, opened on first use.
async function playTranscript(step, bridge, pages, captures) {
  const lines = step.text.split("\n").reduce((all, line) => /^\s/.test(line) && all.length
    ? (all[all.length - 1].text += " " + line.trim(), all) : [...all, { text: line, line: step.line + 1 + all.length }], []);
  for (const { text, line } of lines) {
    const [, name, arrow, message] = /^(\S+) (→|←) (.*)$/.exec(text) ?? assert.fail(`docs/API.md:${line}: not a transcript line`);
    const page = pages[name] ??= await openPage(bridge);
    const where = `docs/API.md:${line} (${name})`;
    if (arrow === "→") page.socket.send(fillIn(message, captures, where));
    else matchValue(parseExpected(message, where), await bounded(page.next(), `${where} to receive a message`), captures, where);
  }
}

async function openPage(bridge) {
  const socket = new WebSocket(`ws://127.0.0.1:${bridge.port}/ws`), queue = [], waiting = [];
  socket.onmessage = ({ data }) => (waiting.length ? waiting.shift()(JSON.parse(data)) : queue.push(JSON.parse(data)));
  await bounded(new Promise((resolve, reject) => Object.assign(socket, { onopen: resolve, onerror: reject })), "a WebSocket");
  return { socket, queue, next: () => (queue.length ? Promise.resolve(queue.shift()) : new Promise((r) => waiting.push(r))) };
}

// The simulated web viewer of "Demo", answering as the development host's demo file does.
async function openDemo(bridge, fileName = "Demo", options) {
  const page = await Webviewer.open(bridge, fileName, options);
  const receive = page.receive.bind(page);
  page.receive = (message) => {
    if (message.type !== "callScript" || ["Echo", "LB_get_version", "NeverAnswers"].includes(message.script)) return receive(message);
    page.answer({ fetchId: JSON.parse(message.param).callback.fetchId }, { error: `Unknown script: ${message.script}` });
  };
  return page;
}

async function runSection(section) {
  const bridge = await Bridge.start(), pages = {}, demos = [await openDemo(bridge)], outstanding = [], captures = {};
  try {
    for (const step of section.steps) {
      const where = `docs/API.md:${step.line}`;
      if (step.kind === "given") {
        for (const command of step.commands) {
          const [verb, file, flag] = command.split(" ");
          if (verb === "open") demos.push(await openDemo(bridge, file, { silent: flag === "silent" }));
          else await bridge.command(command);
        }
      } else if (step.kind === "request") {
        outstanding.push({ where, reply: send(bridge, fillIn(step.text, captures, where)) });
      } else if (step.kind === "reply") {
        const request = outstanding.shift() ?? assert.fail(`${where}: a reply with no request before it`);
        compareReply(step.text, await bounded(request.reply, `the reply to ${request.where}`), captures, `${where} (the reply to line ${request.where.split(":")[1]})`);
      } else {
        await playTranscript(step, bridge, pages, captures);
      }
    }
    assert.deepEqual(outstanding.map((r) => r.where), [], "requests with no reply shown");
    for (const [name, page] of Object.entries(pages)) assert.deepEqual(page.queue, [], `messages to ${name} the transcript does not show`);
  } finally {
    for (const socket of [...demos, ...Object.values(pages)].map((page) => page.socket)) socket.close();
    await bridge.stop();
  }
}

test("every example of docs/API.md is answered as written", async (t) => {
  const sections = readExamples(readFileSync(docPath, "utf8"));
  assert.ok(sections.length > 10, "docs/API.md has its examples");
  for (const section of sections) await t.test(section.title, () => runSection(section));
});

test("every route of the bridge's route table is in docs/API.md", () => {
  const table = readFileSync(new URL("../../server/RouteTable.cpp", import.meta.url), "utf8");
  const routes = [...table.matchAll(/app\.(get|post|del)\("([^"]+)"/g)].map(([, verb, path]) =>
    `${{ get: "GET", post: "POST", del: "DELETE" }[verb]} ${path}`);
  assert.ok(routes.length > 10, "the route table was read");
  const doc = readFileSync(docPath, "utf8");
  assert.deepEqual(routes.filter((route) => !doc.includes(`\`${route}\``)), []);
});
