// Browser members in a real browser: pages of Debian's chromium and code page
// 932 clients chat with each other through the real program; the pages are
// pushed what changed, survive a restart of the server, and pass axe-core.
//
//   node browser-test.mjs VELMOR SCREENSHOT.png
//
// Runs inside a network namespace of its own (see run-browser-test.sh), so
// the program owns ports 5000, 5080 and 5081.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer, get } from "node:http";
import { createRequire } from "node:module";
import net from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

const [velmorPath, screenshotPath] = process.argv.slice(2);
const page0 = "http://127.0.0.1:5080/";
const failures = [];
const check = (ok, what) => {
  if (!ok) failures.push(what);
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
};

// Polls until condition() is true or the time is up; true if it held.
async function until(condition, ms = 5000, every = 25) {
  const end = Date.now() + ms;
  for (;;) {
    if (await condition()) return true;
    if (Date.now() > end) return false;
    await new Promise((r) => setTimeout(r, every));
  }
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");

// ---- the program
const runtime = mkdtempSync(join(tmpdir(), "velmor-web-"));
let stderr = "";
let velmor;
function startVelmor() {
  velmor = spawn(velmorPath, ["--no-window", "--web"], {
    env: { ...process.env, XDG_RUNTIME_DIR: runtime, QT_QPA_PLATFORM: "offscreen" },
    stdio: ["ignore", "ignore", "pipe"],
  });
  velmor.stderr.on("data", (d) => (stderr += d.toString()));
}
async function stopVelmor() {
  velmor.kill("SIGTERM");
  await until(() => velmor.exitCode !== null || velmor.signalCode !== null, 5000);
}
startVelmor();
const accepted = () => stderr.split("Pibbetより接続を受け付けました").length - 1;

// ---- a code page 932 client, as Pibbet speaks
const sjis = new TextDecoder("shift_jis");
class Client {
  constructor() {
    this.bytes = Buffer.alloc(0);
    this.socket = net.connect(5000, "127.0.0.1");
    this.socket.on("data", (d) => (this.bytes = Buffer.concat([this.bytes, d])));
  }
  send(bytes) { this.socket.write(bytes); }
  // Sends a request and waits for a reply whose log holds `lines` lines.
  async ask(bytes, lines) {
    this.bytes = Buffer.alloc(0);
    this.socket.write(bytes);
    await until(() => {
      const text = sjis.decode(this.bytes);
      const at = text.indexOf("/*/");
      return at >= 0 && text.slice(at).split("\r\n").length - 1 >= lines;
    });
    return sjis.decode(this.bytes);
  }
}
const TARO = Buffer.from([0x91, 0xbe, 0x98, 0x59]); // 太郎 in code page 932
const wire = (...parts) => Buffer.concat(parts.map((p) => (typeof p === "string" ? Buffer.from(p, "latin1") : p)));

// ---- a page of another web site, which tries the room's WebSocket
const foreign = createServer((_, res) => {
  res.setHeader("Content-Type", "text/html");
  res.end(`<script>
    const s = new WebSocket("ws://127.0.0.1:5081/");
    s.onopen = () => { document.title = "opened"; s.send("CanEnter?intruder/*/~x"); };
    s.onclose = (e) => { if (document.title !== "opened") document.title = "refused " + e.code; };
  </script>`);
});

let browser;
try {
  check(await until(() => stderr.includes("the page is at"), 10000), "the program says where the page is served");
  // The status line follows the line above in a write of its own.
  check(await until(() => /ブラウザ用ページ http:\/\/[0-9.]+:5080\/ で待機中/.test(stderr)), "the status line names the page's address and port");
  await new Promise((r) => foreign.listen(8080, "127.0.0.1", r));

  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const deskContext = await browser.newContext({ viewport: { width: 1024, height: 700 } });
  const desk = await deskContext.newPage();
  const phone = await (await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true })).newPage();
  const third = await (await browser.newContext({ viewport: { width: 800, height: 600 } })).newPage();
  const dialogs = [];
  const violations = [];
  // Data messages each page sends and receives (pings and pongs are not).
  const frames = new Map();
  for (const p of [desk, phone, third]) {
    p.on("dialog", (d) => { dialogs.push(d.message()); d.dismiss(); });
    p.on("console", (m) => { if (/Content.Security.Policy/i.test(m.text())) violations.push(m.text()); });
    const count = { sockets: 0, closed: 0, sent: 0, received: 0, last: "", lastSent: "" };
    frames.set(p, count);
    p.on("websocket", (ws) => {
      count.sockets++;
      ws.on("close", () => count.closed++);
      ws.on("framesent", (f) => { count.sent++; count.lastSent = String(f.payload); });
      ws.on("framereceived", (f) => { count.received++; count.last = String(f.payload); });
    });
  }

  const members = (p) => p.getByRole("list", { name: "メンバー" }).getByRole("listitem").allTextContents();
  const log = (p) => p.getByRole("region", { name: "ログ" }).getByRole("listitem").allTextContents();

  // Hanako joins from the desktop browser.
  await desk.goto(page0);
  await desk.getByLabel("名前").fill("花子");
  await desk.getByRole("button", { name: "入室" }).click();
  check(await until(async () => (await members(desk)).includes("花子")), "a browser member joins and sees herself");

  // Taro joins from a code page 932 client.
  const taro = new Client();
  const joined = await taro.ask(wire("CanEnter?", TARO, "/*/~k"), 2);
  check(joined.startsWith("花子\r\n太郎\r\n/*/【お知らせ！】太郎さんが参加しました\r\n"), "the client sees the browser member in the member list");

  // A name full of markup joins from the phone.
  const markup = "<img src=x onerror=alert(1)>";
  await phone.goto(page0);
  await phone.getByLabel("名前").fill(markup);
  await phone.getByRole("button", { name: "入室" }).click();
  check(await until(async () => (await members(phone)).includes(markup)), "the markup name shows literally");

  // Everyone chats.
  const textBox = (p) => p.getByRole("textbox", { name: "発言" });
  // Each line is in the room before the next is sent: the pages and the
  // client are separate connections, and the room orders lines by arrival.
  const everyone = ["〔花子〕こんにちは 😀", `〔${markup}〕やあ`, "〔太郎〕Hello from Pibbet"];
  await textBox(desk).fill("こんにちは 😀");
  await textBox(desk).press("Enter");
  check(await until(async () => (await textBox(desk).inputValue()) === ""), "the text box empties when sent");
  check(await until(async () => (await log(desk)).includes(everyone[0])), "the sender's page shows her line");
  await textBox(phone).fill("やあ");
  await phone.getByRole("button", { name: "送信" }).click();
  check(await until(async () => (await log(phone)).includes(everyone[1])), "the phone shows its line");
  await taro.ask(wire("NormalTelHello from Pibbet/*/~k"), 5);

  // The pages refresh by themselves; nobody reloads them.
  const sent = Date.now();
  const seesAll = (lines) => everyone.every((l) => lines.includes(l));
  const deskSaw = await until(async () => seesAll(await log(desk)));
  const phoneSaw = await until(async () => seesAll(await log(phone)));
  check(deskSaw && phoneSaw, `every page shows every line by itself (${Date.now() - sent} ms)`);
  const deskLog = await log(desk);
  check(deskLog[0] === "〔太郎〕Hello from Pibbet" && deskLog.at(-1) === "【お知らせ！】花子さんが参加しました", "the log is newest first, one line per item");
  check(JSON.stringify(await members(desk)) === JSON.stringify(["花子", "太郎", markup]), "the member list is in the room's order");

  const fetched = await taro.ask(wire("/Reflesh//*/~k"), 6);
  check(fetched.includes("〔花子〕こんにちは ?\r\n") && fetched.includes(`〔${markup}〕やあ\r\n`), "the client gets the browsers' lines, the emoji as \"?\"");
  check(dialogs.length === 0 && (await desk.locator("img").count()) === 0 && (await phone.locator("img").count()) === 0, "no markup ran in any page");

  await phone.screenshot({ path: screenshotPath });

  // ---- the policy: no inline code but the page's own, no other socket
  const policy = await new Promise((resolve) => get(page0, (res) => { res.resume(); resolve(String(res.headers["content-security-policy"])); }));
  check(!policy.includes("unsafe-inline") && policy.includes("connect-src ws://127.0.0.1:5081;") && policy.includes("frame-ancestors 'none'"),
        "the page's policy allows no inline code but its own and only its own WebSocket");

  // ---- live: a client's line reaches three pages at once
  await third.goto(page0);
  await third.getByLabel("名前").fill("次郎");
  await third.getByRole("button", { name: "入室" }).click();
  check(await until(async () => (await members(third)).includes("次郎")), "a third page joins");
  const pages = [desk, phone, third];
  for (const p of pages) {
    await p.evaluate(() => {
      window.arrivals = {};
      const lines = document.getElementById("lines");
      new MutationObserver(() => {
        for (const li of lines.children) if (!(li.textContent in window.arrivals)) window.arrivals[li.textContent] = Date.now();
      }).observe(lines, { childList: true });
    });
  }
  const latencies = [];
  for (let i = 0; i < 20; i++) {
    const line = `〔太郎〕live ${i}`;
    const sentAt = Date.now();
    taro.send(wire(`NormalTellive ${i}/*/~k`));
    const arrived = await until(async () => {
      for (const p of pages) if (!(await p.evaluate((l) => l in window.arrivals, line))) return false;
      return true;
    }, 5000, 5);
    if (!arrived) { check(false, `line ${i} reached every page`); break; }
    for (const p of pages) latencies.push((await p.evaluate((l) => window.arrivals[l], line)) - sentAt);
  }
  const worst = Math.max(...latencies);
  check(latencies.length === 60 && median(latencies) <= 50 && worst <= 150,
        `a client's line reaches three pages in a median of ${median(latencies)} ms, at worst ${worst} ms (bounds 50 and 150)`);

  // ---- an idle page exchanges no data message
  const before10 = pages.map((p) => ({ ...frames.get(p) }));
  await new Promise((r) => setTimeout(r, 10000));
  check(pages.every((p, i) => frames.get(p).sent === before10[i].sent && frames.get(p).received === before10[i].received),
        "idle pages exchange no data message in 10 s");

  // ---- a line costs each page about its own size, in a full room
  const crowd = [];
  for (let i = 0; i < 16; i++) {
    const c = new Client();
    await c.ask(wire(`CanEnter?guest${i}/*/~g`), 1);
    crowd.push(c);
  }
  const full = await taro.ask(wire("/Reflesh//*/~k"), 50);
  check(full.slice(0, full.indexOf("/*/")).split("\r\n").length - 1 === 20, "the room is full: 20 members");
  const forty = "0123456789".repeat(4);
  taro.send(wire(`NormalTel${forty}/*/~k`));
  check(await until(async () => (await log(desk)).includes(`〔太郎〕${forty}`)), "the 40-character line arrives");
  const cost = Buffer.byteLength(frames.get(desk).last);
  check(frames.get(desk).last.includes(forty) && cost <= 2048,
        `a 40-character line costs a page ${cost} bytes in a full room of ${Buffer.byteLength(full)} bytes (bound 2,048)`);
  for (const c of crowd) c.socket.destroy();

  // ---- what the server would drop is refused, and nothing is lost
  const tooLong = "x".repeat(32758);
  await textBox(desk).fill(tooLong);
  await textBox(desk).press("Enter");
  check(await until(async () => (await desk.getByRole("status").allTextContents()).join("").includes("長すぎます")),
        "an over-long line is refused with a reason");
  check((await textBox(desk).inputValue()).length === tooLong.length, "and stays in the box");
  await textBox(desk).fill("");
  check((await taro.ask(wire("/Reflesh//*/~k"), 50)).startsWith("花子\r\n太郎\r\n"), "and the member stays in the room");

  // A line of kana well within the character rule but, at three bytes a
  // character, past the 64 KiB a message may hold: the server would close
  // the connection (1009), so the page refuses it.
  const status = async (p) => (await p.getByRole("status").allTextContents()).join("");
  const deskFrames = frames.get(desk);
  const kana = "あ".repeat(22000);
  const [sentBefore, closedBefore] = [deskFrames.sent, deskFrames.closed];
  await textBox(desk).fill(kana);
  await textBox(desk).press("Enter");
  check(await until(async () => /発言が長すぎます（UTF-8で\d+バイトまで）/.test(await status(desk))),
        "a line of 22,000 kana is refused with a reason");
  check((await textBox(desk).inputValue()) === kana, "and stays in the box");
  // The next line goes out on the same connection, after anything sent before it.
  const marker = "after the kana";
  await textBox(desk).fill(marker);
  await textBox(desk).press("Enter");
  check(await until(async () => (await log(desk)).includes(`〔花子〕${marker}`)) &&
        deskFrames.sent === sentBefore + 1 && deskFrames.lastSent.includes(marker) && deskFrames.closed === closedBefore,
        `and nothing of it is sent: the connection stays open (${deskFrames.sent - sentBefore} sent, ${deskFrames.closed - closedBefore} closed)`);
  // A message of exactly 64 KiB goes through; a byte more is refused. The
  // page's own last message tells what a line's message costs besides the line.
  const lastId = JSON.parse(deskFrames.lastSent).id;
  const besides = Buffer.byteLength(deskFrames.lastSent) - marker.length - String(lastId).length + String(lastId + 1).length;
  const room = 64 * 1024 - besides;
  const atBound = "あ".repeat(Math.floor(room / 3)) + "x".repeat(room % 3);
  await textBox(desk).fill(atBound + "x");
  await textBox(desk).press("Enter");
  check(await until(async () => (await status(desk)).includes(`発言が長すぎます（UTF-8で${room}バイトまで）`)) &&
        (await textBox(desk).inputValue()) === atBound + "x", `a line a byte past the bound is refused (room for ${room} bytes)`);
  await textBox(desk).fill(atBound);
  await textBox(desk).press("Enter");
  check(await until(async () => (await taro.ask(wire("/Reflesh//*/~k"), 50)).includes(`〔花子〕${atBound}\r\n`)) &&
        Buffer.byteLength(deskFrames.lastSent) === 64 * 1024 && deskFrames.closed === closedBefore,
        "a line whose message is exactly 64 KiB reaches the room");

  // ---- the name is remembered for the next visit
  const again = await deskContext.newPage();
  await again.goto(page0);
  check((await again.getByLabel("名前").inputValue()) === "花子", "the name is filled in on the next visit");
  // A name past the message bound is refused before any connection is made.
  let againSockets = 0;
  again.on("websocket", () => againSockets++);
  await again.getByLabel("名前").fill(kana);
  await again.getByRole("button", { name: "入室" }).click();
  check(await until(async () => /名前が長すぎます（UTF-8で\d+バイトまで）/.test(await status(again))) && againSockets === 0,
        "a name of 22,000 kana is refused with a reason, and no connection is made");
  await again.close();

  // ---- a hidden tab counts unread lines in its title
  await phone.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => true });
    Object.defineProperty(document, "visibilityState", { configurable: true, get: () => "hidden" });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  for (const n of [1, 2, 3]) await taro.ask(wire(`NormalTelunread ${n}/*/~k`), 50);
  check(await until(async () => (await phone.title()) === "(3) Velmor"), "a hidden tab's title counts 3 unread lines");
  await phone.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => false });
    Object.defineProperty(document, "visibilityState", { configurable: true, get: () => "visible" });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  check(await until(async () => (await phone.title()) === "Velmor"), "and forgets them once the tab is seen");

  // ---- axe-core finds nothing on the joined page, phone and desktop
  for (const [p, width] of [[phone, "phone"], [desk, "desktop"]]) {
    await p.evaluate(axeSource);
    const found = await p.evaluate(async () => (await window.axe.run()).violations.map((v) => `${v.id} (${v.nodes.length})`));
    check(found.length === 0, `axe-core reports no violation at ${width} width${found.length ? ": " + found.join(", ") : ""}`);
  }

  // ---- the server restarts: every page comes back by itself, and a line
  // typed meanwhile is posted once
  taro.socket.destroy();
  await stopVelmor();
  check(await until(async () => (await desk.locator("#connection").textContent()).includes("接続が切れました")), "the page says at once that the connection dropped");
  await textBox(phone).fill("ただいま");
  await textBox(phone).press("Enter");
  await phone.screenshot({ path: screenshotPath.replace(/\.png$/, "-offline.png") });
  startVelmor();
  // Back in the new server's room: its log has none of the old lines.
  const backIn = await until(async () => {
    for (const p of pages) {
      if ((await p.locator("#connection").textContent()) !== "" || (await log(p)).includes("〔太郎〕live 0")) return false;
    }
    return true;
  }, 20000);
  check(backIn, "every page is back in the room without a click");
  check(await until(async () => (await log(desk)).filter((l) => l === `〔${markup}〕ただいま`).length === 1, 5000),
        "the line typed while the server was away is posted once");
  const taro2 = new Client();
  const fetched2 = await taro2.ask(wire("CanEnter?", TARO, "/*/~k"), 1);
  const [roomMembers, roomLog] = fetched2.split("/*/").map((t) => t.split("\r\n").slice(0, -1));
  check(await until(async () => JSON.stringify(await members(desk)) === JSON.stringify(roomMembers) &&
                                JSON.stringify((await log(desk)).slice(0, roomLog.length)) === JSON.stringify(roomLog)),
        "the page shows exactly what a client's fetch shows");
  taro2.socket.destroy();
  check(violations.length === 0, `no policy violation in any page${violations.length ? ": " + violations[0] : ""}`);

  // Another web site cannot join through the browser.
  const before = accepted();
  const evil = await (await browser.newContext()).newPage();
  await evil.goto("http://127.0.0.1:8080/");
  check(await until(async () => (await evil.title()).startsWith("refused"), 5000), "a page from another origin is refused at the handshake");
  check(accepted() === before && !(await members(desk)).includes("intruder"), "the refused page took no slot");

  // Hanako leaves; the others see the leave line.
  await desk.getByRole("button", { name: "退室" }).click();
  check(await until(async () => (await log(phone)).includes("【お知らせ】花子さんが退室されました")), "leaving logs the leave line");
  check(!(await members(phone)).includes("花子"), "and takes her out of the member list");
} catch (error) {
  failures.push(String(error && error.stack || error));
  console.log(error);
} finally {
  if (browser) await browser.close();
  foreign.close();
  await stopVelmor();
  rmSync(runtime, { recursive: true, force: true });
}
if (failures.length) {
  console.log(`\n${failures.length} failed; the program said:\n${stderr.slice(-3000)}`);
  process.exit(1);
}
console.log("all passed");
