// Browser members in a real browser: two pages of Debian's chromium and one
// code page 932 client chat with each other through the real program.
//
//   node browser-test.mjs VELMOR SCREENSHOT.png
//
// Runs inside a network namespace of its own (see run-browser-test.sh), so
// the program owns ports 5000, 5080 and 5081.
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { createServer } from "node:http";
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

// ---- the program
const runtime = mkdtempSync(join(tmpdir(), "velmor-web-"));
let stderr = "";
const velmor = spawn(velmorPath, ["--no-window", "--web"], {
  env: { ...process.env, XDG_RUNTIME_DIR: runtime, QT_QPA_PLATFORM: "offscreen" },
  stdio: ["ignore", "ignore", "pipe"],
});
velmor.stderr.on("data", (d) => (stderr += d.toString()));
const accepted = () => stderr.split("Pibbetより接続を受け付けました").length - 1;

// ---- a code page 932 client, as Pibbet speaks
const sjis = new TextDecoder("shift_jis");
class Client {
  constructor() {
    this.bytes = Buffer.alloc(0);
    this.socket = net.connect(5000, "127.0.0.1");
    this.socket.on("data", (d) => (this.bytes = Buffer.concat([this.bytes, d])));
  }
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
  const desk = await (await browser.newContext({ viewport: { width: 1024, height: 700 } })).newPage();
  const phone = await (await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true })).newPage();
  const dialogs = [];
  for (const p of [desk, phone]) p.on("dialog", (d) => { dialogs.push(d.message()); d.dismiss(); });

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
  taro.socket.destroy();
} catch (error) {
  failures.push(String(error && error.stack || error));
  console.log(error);
} finally {
  if (browser) await browser.close();
  foreign.close();
  velmor.kill("SIGTERM");
  await until(() => velmor.exitCode !== null, 5000);
  rmSync(runtime, { recursive: true, force: true });
}
if (failures.length) {
  console.log(`\n${failures.length} failed; the program said:\n${stderr.slice(-3000)}`);
  process.exit(1);
}
console.log("all passed");
