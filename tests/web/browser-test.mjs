// Browser members in a real browser: pages of one of three engines and code
// page 932 clients chat with each other through the real program; the pages
// are pushed what changed, survive a restart of the server with the room kept, and pass axe-core.
//
//   node browser-test.mjs chromium|firefox|webkit VELMOR SCREENSHOT.png [http|https]
//
// chromium is Debian's chromium driven by playwright-core; firefox is
// Debian's firefox-esr driven by puppeteer-core over WebDriver BiDi; webkit is
// WebKitGTK's MiniBrowser driven by selenium-webdriver through Debian's
// WebKitWebDriver (classic WebDriver), on the X server the caller provides.
// Every engine runs the same scenarios through the same small page interface.
//
// With https the program serves the page and its WebSocket over TLS with the
// certificate it makes at its first start (--web-tls, in a state directory of
// the test's own). Chromium is told to trust that one certificate, by its
// public key's hash; Firefox and WebKit take any certificate through the
// WebDriver capability acceptInsecureCerts, the one way their drivers offer.
// The test's own requests trust that certificate alone.
//
// Runs inside a network namespace of its own (see run-browser-test.sh), so
// the program owns ports 5000, 5080 and 5081.
import { spawn, spawnSync } from "node:child_process";
import { createHash, X509Certificate } from "node:crypto";
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer, get } from "node:http";
import { get as getTls } from "node:https";
import { createRequire } from "node:module";
import net from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";

const [engineName, velmorPath, screenshotPath, scheme = "http"] = process.argv.slice(2);
const tls = scheme === "https";
const page0 = `${scheme}://127.0.0.1:5080/`;
const chat = `${tls ? "wss" : "ws"}://127.0.0.1:5080/chat`;
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

// Runs a shell command here, that is inside the test's own network namespace
// (nothing it does to the network reaches the machine's), bounded in time.
function shell(command, ms = 10000) {
  const run = spawnSync("sh", ["-c", command], { encoding: "utf8", timeout: ms });
  return { status: run.status, stdout: run.stdout || "", stderr: run.stderr || "" };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
const runtime = mkdtempSync(join(tmpdir(), "velmor-web-"));
// The program's state directory, fresh for each run: over TLS it holds the
// certificate, made at the first start and kept across the restart.
const state = join(runtime, "state");

// ---- the engines
//
// An engine opens a page at a size: { width, height } of the viewport in CSS
// pixels, and phone for twice as many device pixels (and touch where the
// engine can pretend it). A page opened beside another shares its storage, as
// a second tab would; any other page shares nothing with the rest. A page
// goes to an address, reloads, clicks an element, presses a key in one,
// evaluates JavaScript (a function and its argument, or a script's source),
// takes a screenshot and closes; where the engine can, it also runs a script
// before each document's own (preload), and keeps what its console said in
// messages.

const chromiumArgs = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

// trust, over TLS, is the certificate to accept: its public key's SHA-256 (spki).
async function chromiumEngine(trust) {
  const { chromium } = await import("playwright-core");
  const args = trust ? [...chromiumArgs, `--ignore-certificate-errors-spki-list=${trust.spki}`] : chromiumArgs;
  const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args });
  return {
    name: "Chromium",
    showsNotifications: true,
    version: browser.version(),
    async open({ width, height, phone }, beside) {
      const context = beside ? beside.context : await browser.newContext({
        viewport: { width, height }, ...(phone ? { deviceScaleFactor: 2, isMobile: true, hasTouch: true } : {}),
      });
      const page = await context.newPage();
      const messages = [];
      page.on("console", (m) => messages.push(m.text()));
      return {
        context, messages,
        grantNotifications: (origin) => context.grantPermissions(["notifications"], { origin }),
        preload: (code) => page.addInitScript(code),
        goto: (url) => page.goto(url),
        reload: () => page.reload(),
        click: (selector) => page.click(selector),
        press: (selector, key) => page.press(selector, key),
        evaluate: (code, arg) => page.evaluate(code, arg),
        screenshot: (path) => page.screenshot({ path }),
        close: () => page.close(),
      };
    },
    close: () => browser.close(),
  };
}

async function firefoxEngine(trust) {
  const { default: puppeteer } = await import("puppeteer-core");
  const browser = await puppeteer.launch({
    browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true, acceptInsecureCerts: !!trust,
  });
  return {
    name: "Firefox ESR",
    version: (await browser.version()).replace(/^firefox\//, ""),
    async open({ width, height, phone }, beside) {
      const context = beside ? beside.context : await browser.createBrowserContext();
      // A window each: of the tabs of one window only the front one is shown.
      const page = await context.newPage({ type: "window" });
      await page.setViewport({ width, height, deviceScaleFactor: phone ? 2 : 1, isMobile: !!phone, hasTouch: !!phone });
      const messages = [];
      page.on("console", (m) => messages.push(m.text()));
      return {
        context, messages,
        grantNotifications: (origin) => context.overridePermissions(origin, ["notifications"]),
        preload: (code) => page.evaluateOnNewDocument(code),
        goto: (url) => page.goto(url),
        reload: () => page.reload(),
        click: (selector) => page.click(selector),
        press: async (selector, key) => { await page.focus(selector); await page.keyboard.press(key); },
        evaluate: (code, arg) => page.evaluate(code, arg),
        screenshot: (path) => page.screenshot({ path }),
        close: () => page.close(),
      };
    },
    close: () => browser.close(),
  };
}

// What answers on a TCP port of loopback: true once a connection opens,
// false when it is refused or nothing comes within 2 s.
const opens = (port) => new Promise((resolve) => {
  const probe = net.connect(port, "127.0.0.1", () => { probe.destroy(); resolve(true); });
  probe.setTimeout(2000, () => { probe.destroy(); resolve(false); });
  probe.on("error", () => resolve(false));
});

// The MiniBrowser the installed WebKitGTK ships: the GTK 3 build (API 4.1)
// on Debian 12 and 13, the GTK 4 one (API 6.0) where only that is there.
function findMiniBrowser() {
  for (const api of ["webkit2gtk-4.1", "webkitgtk-6.0"]) {
    for (const dir of readdirSync("/usr/lib")) {
      const path = join("/usr/lib", dir, api, "MiniBrowser");
      if (existsSync(path)) return path;
    }
  }
  throw new Error("no MiniBrowser under /usr/lib/*/webkit2gtk-4.1 or webkitgtk-6.0 (scripts/setup.sh installs webkit2gtk-driver)");
}

// WebKitWebDriver holds one session, and a session is one MiniBrowser with
// one store: a page that shares nothing gets a driver of its own, a page
// beside another a new window in the other's session.
async function webkitEngine(trust) {
  const { Builder } = await import("selenium-webdriver");
  if (!process.env.DISPLAY) throw new Error("the WebKit run needs an X server: run-browser-test.sh starts one with xvfb-run");
  const miniBrowser = findMiniBrowser();
  // MiniBrowser's toolbar would keep its window wider than a phone; the
  // stylesheet lets it shrink to the page's size.
  const home = join(runtime, "webkit");
  for (const gtk of ["gtk-3.0", "gtk-4.0"]) {
    mkdirSync(join(home, "config", gtk), { recursive: true });
    writeFileSync(join(home, "config", gtk, "gtk.css"), "* { min-width: 0; min-height: 0; margin: 0; padding: 0; }\n");
  }
  const drivers = [];
  const sessions = [];
  let log = "";
  let version = "";
  async function newSession(phone) {
    const port = 4444 + drivers.length;
    const driver = spawn("/usr/bin/WebKitWebDriver", [`--port=${port}`], {
      env: {
        ...process.env, GDK_BACKEND: "x11", GDK_SCALE: phone ? "2" : "1", NO_AT_BRIDGE: "1",
        XDG_CONFIG_HOME: join(home, "config"), XDG_DATA_HOME: join(home, "data"), XDG_CACHE_HOME: join(home, "cache"),
      },
      stdio: ["ignore", "pipe", "pipe"],
    });
    driver.stdout.on("data", (d) => (log += d.toString()));
    driver.stderr.on("data", (d) => (log += d.toString()));
    drivers.push(driver);
    const listening = await until(() => opens(port), 10000, 50);
    if (!listening) throw new Error(`WebKitWebDriver does not listen on port ${port}:\n${log.slice(-2000)}`);
    const driven = await new Builder().usingServer(`http://127.0.0.1:${port}/`).withCapabilities({
      browserName: "MiniBrowser", acceptInsecureCerts: !!trust,
      "webkitgtk:browserOptions": { binary: miniBrowser, args: ["--automation"] },
    }).build();
    version = (await driven.getCapabilities()).get("browserVersion");
    const session = { driven, current: await driven.getWindowHandle(), windows: 0 };
    sessions.push(session);
    return session;
  }
  return {
    name: "WebKitGTK",
    get version() { return `${version} (${miniBrowser})`; },
    async open({ width, height, phone }, beside) {
      const session = beside ? beside.session : await newSession(phone);
      const { driven } = session;
      if (session.windows > 0) {
        await driven.switchTo().newWindow("window");
        session.current = await driven.getWindowHandle();
      }
      session.windows++;
      const handle = session.current;
      // Every command goes to the session's current window.
      const on = async () => {
        if (session.current !== handle) {
          await driven.switchTo().window(handle);
          session.current = handle;
        }
        return driven;
      };
      // The window holds a toolbar besides the page: size it, then add what
      // the toolbar took.
      await driven.manage().window().setRect({ width, height });
      const [innerWidth, innerHeight] = await driven.executeScript("return [innerWidth, innerHeight]");
      await driven.manage().window().setRect({ width: 2 * width - innerWidth, height: 2 * height - innerHeight });
      const element = async (selector) => (await on()).findElement({ css: selector });
      const keys = { Enter: "\uE007" };
      return {
        session, messages: [],
        goto: async (url) => (await on()).get(url),
        reload: async () => (await on()).navigate().refresh(),
        click: async (selector) => (await element(selector)).click(),
        press: async (selector, key) => (await element(selector)).sendKeys(keys[key]),
        evaluate: async (code, arg) => typeof code === "string"
          ? (await on()).executeScript(code)
          : (await on()).executeScript(`return (${code}).apply(null, arguments)`, ...(arg === undefined ? [] : [arg])),
        screenshot: async (path) => writeFileSync(path, Buffer.from(await (await on()).takeScreenshot(), "base64")),
        close: async () => {
          const driven = await on();
          if (--session.windows > 0) {
            await driven.close();
            session.current = null;
          } else {
            await driven.quit();
            sessions.splice(sessions.indexOf(session), 1);
          }
        },
      };
    },
    async close() {
      for (const session of sessions) await session.driven.quit().catch(() => {});
      for (const driver of drivers) {
        driver.kill("SIGTERM");
        await until(() => driver.exitCode !== null || driver.signalCode !== null, 5000);
      }
    },
    log: () => log,
  };
}

// What each page sends and receives on its WebSockets, the dialogs it tried
// to open and the policy violations it met, watched from inside the page.
// Chromium and Firefox run the watch before the page's own script, WebKit's
// classic WebDriver only once the page has loaded: a socket the page opened
// while loading (a reload while in the room) is then followed from the first
// message it sends or the page reads. Messages are data messages, as the
// page's code sees them (pings and pongs never reach it).
function watch() {
  if (window.velmorWatch) return;
  const seen = (window.velmorWatch = {
    sockets: 0, closed: 0, sent: 0, received: 0, last: "", lastSent: "", dialogs: [], violations: [],
    notifying: [], notified: [],
  });
  // Notifications the page asked for (notifying) and the browser showed
  // (notified), whichever way the page asked: from its service worker
  // (resolved once shown) or by itself (its show event).
  if (window.ServiceWorkerRegistration) {
    const show = ServiceWorkerRegistration.prototype.showNotification;
    ServiceWorkerRegistration.prototype.showNotification = function (title, options) {
      seen.notifying.push(options.body);
      return show.call(this, title, options).then(() => { seen.notified.push(options.body); });
    };
  }
  if (window.Notification) {
    const NativeNotification = window.Notification;
    window.Notification = class extends NativeNotification {
      constructor(title, options) {
        super(title, options);
        seen.notifying.push(options.body);
        this.addEventListener("show", () => seen.notified.push(options.body));
      }
    };
  }
  const Native = window.WebSocket;
  const followed = new WeakSet();
  const counted = new WeakSet();
  const follow = (socket) => {
    if (followed.has(socket)) return;
    followed.add(socket);
    socket.addEventListener("message", (event) => event.data);
    socket.addEventListener("close", () => seen.closed++);
  };
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      seen.sockets++;
      follow(this);
    }
  };
  const send = Native.prototype.send;
  Native.prototype.send = function (data) {
    follow(this);
    seen.sent++;
    seen.lastSent = String(data);
    return send.call(this, data);
  };
  const data = Object.getOwnPropertyDescriptor(MessageEvent.prototype, "data").get;
  Object.defineProperty(MessageEvent.prototype, "data", {
    configurable: true,
    get() {
      const value = data.call(this);
      if (this.target instanceof Native && !counted.has(this)) {
        counted.add(this);
        follow(this.target);
        seen.received++;
        seen.last = String(value);
      }
      return value;
    },
  });
  for (const name of ["alert", "confirm", "prompt"]) window[name] = (message) => { seen.dialogs.push(String(message)); };
  document.addEventListener("securitypolicyviolation", (e) => seen.violations.push(`${e.violatedDirective} ${e.blockedURI}`));
}

// The page interface the scenarios use, over an engine's page.
class Page {
  constructor(raw) { this.raw = raw; }
  // Before the page's own script where the engine can; at the latest once it has loaded.
  async start() { if (this.raw.preload) await this.raw.preload(watch); return this; }
  async goto(url) { await this.raw.goto(url); await this.raw.evaluate(watch); }
  async reload() { await this.raw.reload(); await this.raw.evaluate(watch); }
  click(selector) { return this.raw.click(selector); }
  press(selector, key) { return this.raw.press(selector, key); }
  evaluate(code, arg) { return this.raw.evaluate(code, arg); }
  // After two frames, so the picture is of what the page shows now: WebKit
  // otherwise hands back the last frame it painted, which may be older.
  async screenshot(path) {
    await this.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() => done()))));
    await this.raw.screenshot(path);
  }
  close() { return this.raw.close(); }
  // Grants the page's origin notifications, as a member answering the
  // browser's question would; false where the engine's driver cannot.
  async grantNotifications(origin) {
    if (!this.raw.grantNotifications) return false;
    await this.raw.grantNotifications(origin);
    return true;
  }
  // The bodies of the notifications the page asked for and the browser showed.
  notifications() { return this.evaluate(() => ({ asked: window.velmorWatch.notifying, shown: window.velmorWatch.notified })); }
  // Sets a text box as pasting would, in one input event.
  fill(selector, text) {
    return this.evaluate(([s, t]) => {
      const box = document.querySelector(s);
      box.value = t;
      box.dispatchEvent(new Event("input", { bubbles: true }));
    }, [selector, text]);
  }
  texts(selector) { return this.evaluate((s) => Array.from(document.querySelectorAll(s), (e) => e.textContent), selector); }
  value(selector) { return this.evaluate((s) => document.querySelector(s).value, selector); }
  count(selector) { return this.evaluate((s) => document.querySelectorAll(s).length, selector); }
  title() { return this.evaluate(() => document.title); }
  watched() { return this.evaluate(() => window.velmorWatch); }
  // The viewport as the page sees it.
  viewport() { return this.evaluate(() => ({ width: innerWidth, height: innerHeight, scale: devicePixelRatio, touch: navigator.maxTouchPoints > 0 })); }
}

// The page's controls.
const at = {
  name: "#name", join: "#join button[type=submit]", text: "#text", send: "#talk button[type=submit]",
  leave: "#leave", members: "#names li", log: "#lines li", status: "[role=status]", connection: "#connection",
};

// ---- the program
let stderr = "";
let velmor;
// A page's place is kept this long after its connection ended: long enough
// for a reload or a reconnection, short enough to see it run out.
const graceMs = 8000;
function startVelmor() {
  velmor = spawn(velmorPath, ["--no-window", tls ? "--web-tls" : "--web"], {
    env: { ...process.env, XDG_RUNTIME_DIR: runtime, XDG_STATE_HOME: state, QT_QPA_PLATFORM: "offscreen", VELMOR_TEST_GRACE_MS: String(graceMs) },
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
    // A client the server turns away (a full room) sees a reset.
    this.socket.on("error", () => {});
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
    const s = new WebSocket("${chat}");
    s.onopen = () => { document.title = "opened"; s.send("CanEnter?intruder/*/~x"); };
    s.onclose = (e) => { if (document.title !== "opened") document.title = "refused " + e.code; };
  </script>`);
});

const engines = { chromium: chromiumEngine, firefox: firefoxEngine, webkit: webkitEngine };
let engine;
try {
  if (!engines[engineName]) throw new Error(`no engine "${engineName}": one of ${Object.keys(engines).join(", ")}`);
  if (scheme !== "http" && scheme !== "https") throw new Error(`no scheme "${scheme}": http or https`);
  const addresses = shell("ip -o address show");
  check(addresses.status === 0 && addresses.stdout.split("\n").filter((l) => l).every((l) => / lo /.test(l)),
        "the test's network namespace has nothing but loopback");
  check(await until(() => /the page is at [^\n]*\n/.test(stderr), 10000), "the program says where the page is served");
  // Over TLS: the certificate the program made, which node's own requests
  // take as their one authority and the browsers are told to trust.
  let trust = null;
  if (tls) {
    const pem = readFileSync(join(state, "velmor", "web-cert.pem"));
    const cert = new X509Certificate(pem);
    const spki = createHash("sha256").update(cert.publicKey.export({ type: "spki", format: "der" })).digest("base64");
    trust = { pem, spki, fingerprint: cert.fingerprint256 };
    check(stderr.includes(`the page is at ${page0}`) && stderr.includes(`a new self-signed certificate, valid until `) &&
          stderr.includes(`SHA-256 ${cert.fingerprint256}\n`),
          `the program made a certificate at its first start and names its fingerprint (${cert.fingerprint256.slice(0, 11)}…)`);
  }
  // The status line follows the line above in a write of its own.
  const statusLine = tls ? `ブラウザ用ページ https://[0-9.]+:5080/ で待機中 証明書SHA-256 ${trust.fingerprint}\n`
    : "ブラウザ用ページ http://[0-9.]+:5080/ で待機中\n";
  check(await until(() => new RegExp(statusLine).test(stderr)), "the status line names the page's address and port");
  // The next port takes the earlier pages' WebSocket, which was never over TLS.
  check((await opens(5081)) === !tls, `port 5081 is ${tls ? "not opened over TLS" : "open for the WebSocket"}`);
  await new Promise((r) => foreign.listen(8080, "127.0.0.1", r));

  const launched = Date.now();
  engine = await engines[engineName](trust);
  const open = async (size, beside) => new Page(await engine.open(size, beside && beside.raw)).start();
  const sizes = { desk: { width: 1024, height: 700 }, phone: { width: 390, height: 844, phone: true }, third: { width: 800, height: 600 } };
  const desk = await open(sizes.desk);
  const phone = await open(sizes.phone);
  const third = await open(sizes.third);
  console.log(`---- ${engine.name} ${engine.version}: three pages open in ${Date.now() - launched} ms`);

  const members = (p) => p.texts(at.members);
  const log = (p) => p.texts(at.log);
  const status = async (p) => (await p.texts(at.status)).join("");

  // Hanako joins from the desktop browser.
  await desk.goto(page0);
  await desk.fill(at.name, "花子");
  await desk.click(at.join);
  check(await until(async () => (await members(desk)).includes("花子")), "a browser member joins and sees herself");

  // Taro joins from a code page 932 client.
  const taro = new Client();
  const joined = await taro.ask(wire("CanEnter?", TARO, "/*/~k"), 2);
  check(joined.startsWith("花子\r\n太郎\r\n/*/【お知らせ！】太郎さんが参加しました\r\n"), "the client sees the browser member in the member list");

  // A name full of markup joins from the phone.
  const markup = "<img src=x onerror=alert(1)>";
  await phone.goto(page0);
  await phone.fill(at.name, markup);
  await phone.click(at.join);
  check(await until(async () => (await members(phone)).includes(markup)), "the markup name shows literally");

  // Everyone chats.
  // Each line is in the room before the next is sent: the pages and the
  // client are separate connections, and the room orders lines by arrival.
  const everyone = ["〔花子〕こんにちは 😀", `〔${markup}〕やあ`, "〔太郎〕Hello from Pibbet"];
  await desk.fill(at.text, "こんにちは 😀");
  await desk.press(at.text, "Enter");
  check(await until(async () => (await desk.value(at.text)) === ""), "the text box empties when sent");
  check(await until(async () => (await log(desk)).includes(everyone[0])), "the sender's page shows her line");
  await phone.fill(at.text, "やあ");
  await phone.click(at.send);
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
  const dialogs = [...(await desk.watched()).dialogs, ...(await phone.watched()).dialogs];
  check(dialogs.length === 0 && (await desk.count("img")) === 0 && (await phone.count("img")) === 0, "no markup ran in any page");

  await phone.screenshot(screenshotPath);

  // ---- the policy: no inline code but the page's own, no other socket
  const headers = (url) => new Promise((resolve, reject) => {
    const answered = (res) => { res.resume(); resolve({ status: res.statusCode, ...res.headers }); };
    (url.startsWith("https:") ? getTls(url, { ca: trust && trust.pem, timeout: 5000 }, answered) : get(url, { timeout: 5000 }, answered))
      .on("error", reject).on("timeout", function () { this.destroy(new Error(`no answer from ${url} in 5 s`)); });
  });
  const policy = String((await headers(page0))["content-security-policy"]);
  check(!policy.includes("unsafe-inline") && policy.includes(`connect-src ${chat};`) && policy.includes("frame-ancestors 'none'"),
        "the page's policy allows no inline code but its own and only its own WebSocket");
  if (tls) {
    const plain = await headers("http://127.0.0.1:5080/");
    check(plain.status === 307 && plain.location === page0, `plain HTTP on the page's port is redirected (${plain.status} to ${plain.location})`);
  }

  // ---- live: a client's line reaches three pages at once
  // Over TLS the third page is asked for by the plain address, as typed.
  await third.goto(tls ? "http://127.0.0.1:5080/" : page0);
  if (tls) check((await third.evaluate(() => location.href)) === page0, "a browser asking for the page over plain HTTP ends up on it over HTTPS");
  await third.fill(at.name, "次郎");
  await third.click(at.join);
  check(await until(async () => (await members(third)).includes("次郎")), "a third page joins");
  // Each page as the engine laid it out (the phone's by the page's viewport tag).
  for (const [p, size] of [[desk, sizes.desk], [phone, sizes.phone], [third, sizes.third]]) {
    const got = await p.viewport();
    check(got.width === size.width && got.height === size.height && got.scale === (size.phone ? 2 : 1),
          `a page is ${got.width}×${got.height} CSS pixels at ${got.scale}× as asked${size.phone ? ` (a phone; touch ${got.touch ? "on" : "not emulated"})` : ""}`);
  }
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
  const before10 = await Promise.all(pages.map((p) => p.watched()));
  await new Promise((r) => setTimeout(r, 10000));
  const after10 = await Promise.all(pages.map((p) => p.watched()));
  check(pages.every((_, i) => after10[i].sent === before10[i].sent && after10[i].received === before10[i].received),
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
  const lastReceived = (await desk.watched()).last;
  const cost = Buffer.byteLength(lastReceived);
  check(lastReceived.includes(forty) && cost <= 2048,
        `a 40-character line costs a page ${cost} bytes in a full room of ${Buffer.byteLength(full)} bytes (bound 2,048)`);
  for (const c of crowd) c.socket.destroy();

  // ---- what the server would drop is refused, and nothing is lost
  const tooLong = "x".repeat(32758);
  await desk.fill(at.text, tooLong);
  await desk.press(at.text, "Enter");
  check(await until(async () => (await status(desk)).includes("長すぎます")), "an over-long line is refused with a reason");
  check((await desk.value(at.text)).length === tooLong.length, "and stays in the box");
  await desk.fill(at.text, "");
  check((await taro.ask(wire("/Reflesh//*/~k"), 50)).startsWith("花子\r\n太郎\r\n"), "and the member stays in the room");

  // A line of kana well within the character rule but, at three bytes a
  // character, past the 64 KiB a message may hold: the server would close
  // the connection (1009), so the page refuses it.
  const kana = "あ".repeat(22000);
  const beforeKana = await desk.watched();
  await desk.fill(at.text, kana);
  await desk.press(at.text, "Enter");
  check(await until(async () => /発言が長すぎます（UTF-8で\d+バイトまで）/.test(await status(desk))),
        "a line of 22,000 kana is refused with a reason");
  check((await desk.value(at.text)) === kana, "and stays in the box");
  // The next line goes out on the same connection, after anything sent before it.
  const marker = "after the kana";
  await desk.fill(at.text, marker);
  await desk.press(at.text, "Enter");
  const markerArrived = await until(async () => (await log(desk)).includes(`〔花子〕${marker}`));
  const afterKana = await desk.watched();
  check(markerArrived && afterKana.sent === beforeKana.sent + 1 && afterKana.lastSent.includes(marker) && afterKana.closed === beforeKana.closed,
        `and nothing of it is sent: the connection stays open (${afterKana.sent - beforeKana.sent} sent, ${afterKana.closed - beforeKana.closed} closed)`);
  // A message of exactly 64 KiB goes through; a byte more is refused. The
  // page's own last message tells what a line's message costs besides the line.
  const lastId = JSON.parse(afterKana.lastSent).id;
  const besides = Buffer.byteLength(afterKana.lastSent) - marker.length - String(lastId).length + String(lastId + 1).length;
  const room = 64 * 1024 - besides;
  const atBound = "あ".repeat(Math.floor(room / 3)) + "x".repeat(room % 3);
  await desk.fill(at.text, atBound + "x");
  await desk.press(at.text, "Enter");
  check(await until(async () => (await status(desk)).includes(`発言が長すぎます（UTF-8で${room}バイトまで）`)) &&
        (await desk.value(at.text)) === atBound + "x", `a line a byte past the bound is refused (room for ${room} bytes)`);
  await desk.fill(at.text, atBound);
  await desk.press(at.text, "Enter");
  const boundArrived = await until(async () => (await taro.ask(wire("/Reflesh//*/~k"), 50)).includes(`〔花子〕${atBound}\r\n`));
  const afterBound = await desk.watched();
  check(boundArrived && Buffer.byteLength(afterBound.lastSent) === 64 * 1024 && afterBound.closed === beforeKana.closed,
        "a line whose message is exactly 64 KiB reaches the room");

  // ---- the name is remembered for the next visit
  const again = await open(sizes.desk, desk);
  await again.goto(page0);
  check((await again.value(at.name)) === "花子", "the name is filled in on the next visit");
  // A name past the message bound is refused before any connection is made.
  await again.fill(at.name, kana);
  await again.click(at.join);
  check(await until(async () => /名前が長すぎます（UTF-8で\d+バイトまで）/.test(await status(again))) && (await again.watched()).sockets === 0,
        "a name of 22,000 kana is refused with a reason, and no connection is made");
  await again.reload();
  check((await again.value(at.name)) === "花子", "and is not remembered: after a reload the name is the last one that joined");
  await again.close();

  // ---- a hidden tab counts unread lines in its title, and notifies of them
  // once its member asked for that (the page is a secure context: https, or
  // plain http from loopback)
  const notify = "#notify";
  check(await phone.evaluate((b) => !document.querySelector(b).hidden && Notification.permission === "default", notify),
        "the page offers notifications, and asked for no permission before the member did");
  const granted = await phone.grantNotifications(new URL(page0).origin);
  if (granted) {
    await phone.click(notify);
    check(await until(() => phone.evaluate((b) => document.querySelector(b).getAttribute("aria-pressed") === "true", notify)),
          "the member's opt-in takes, for this tab");
  } else {
    console.log(`---- ${engine.name}: its driver cannot grant notifications; only the offer is checked`);
  }
  await phone.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => true });
    Object.defineProperty(document, "visibilityState", { configurable: true, get: () => "hidden" });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  for (const n of [1, 2, 3]) await taro.ask(wire(`NormalTelunread ${n}/*/~k`), 50);
  check(await until(async () => (await phone.title()) === "(3) Velmor"), `a hidden tab's title counts 3 unread lines ("${await phone.title()}")`);
  if (granted) {
    // Headless Firefox has no notification service to show them with (its
    // every notification fails): there the page's request is what is seen.
    const how = engine.showsNotifications ? "shown" : "asked";
    check(await until(async () => (await phone.notifications())[how].some((body) => body.includes("unread 3"))),
          `a line that came while the tab was hidden is notified (${how}: ${JSON.stringify(await phone.notifications())})`);
  }
  await phone.evaluate(() => {
    Object.defineProperty(document, "hidden", { configurable: true, get: () => false });
    Object.defineProperty(document, "visibilityState", { configurable: true, get: () => "visible" });
    document.dispatchEvent(new Event("visibilitychange"));
  });
  check(await until(async () => (await phone.title()) === "Velmor"), "and forgets them once the tab is seen");

  // ---- axe-core finds nothing on the joined page, phone and desktop
  for (const [p, width] of [[phone, "phone"], [desk, "desktop"]]) {
    await p.evaluate(axeSource);
    const { found, passed } = await p.evaluate(async () => {
      const results = await window.axe.run();
      return { found: results.violations.map((v) => `${v.id} (${v.nodes.length})`), passed: results.passes.length };
    });
    check(found.length === 0 && passed > 0,
          `axe-core reports no violation at ${width} width (${passed} rules passed)${found.length ? ": " + found.join(", ") : ""}`);
  }

  // ---- a phone's day: its socket aborted, its link dead, a reload; the
  // member stays in the room, listed once at every fetch, with no leave or
  // join line, and a line sent into the dead link is posted once
  const roomNow = async () => {
    const [m, l] = (await taro.ask(wire("/Reflesh//*/~k"), 50)).split("/*/");
    return { members: m.split("\r\n").slice(0, -1), log: l.split("\r\n").slice(0, -1) };
  };
  const comings = (line) => line.startsWith("【お知らせ！】") || line.startsWith("【お知らせ】");
  // Does what a phone does, then watches the room through a client's
  // fetches, from before it until done() holds: every fetch must list each
  // page's member once; what the log gained meanwhile holds no join or leave
  // line.
  const names = ["花子", markup, "次郎"];
  async function throughout(what, action, done, ms) {
    const mark = `mark ${what}`;
    await taro.ask(wire(`NormalTel${mark}/*/~k`), 50);
    let fetches = 0, twice = 0, watching = true;
    const watcher = (async () => {
      while (watching) {
        const { members: listed } = await roomNow();
        fetches++;
        if (!names.every((n) => listed.filter((l) => l === n).length === 1)) twice++;
        await new Promise((r) => setTimeout(r, 20));
      }
    })();
    await action();
    const held = await until(done, ms, 50);
    watching = false;
    await watcher;
    const { log: after } = await roomNow();
    const gained = after.slice(0, after.indexOf(`〔太郎〕${mark}`));
    check(held, `${what}: the page is back in the room`);
    check(twice === 0 && !gained.some(comings),
          `${what}: every page's member listed once in each of ${fetches} fetches, no join or leave line${gained.some(comings) ? ": " + gained.filter(comings).join(" / ") : ""}`);
  }
  const connected = async (p) => (await p.texts(at.connection))[0] === "" && (await members(p)).length > 0;
  const allBack = async () => (await Promise.all(pages.map(connected))).every((x) => x);

  // Every page's socket aborted under it (ss -K in the test's namespace).
  const socketsBefore = await Promise.all(pages.map((p) => p.watched()));
  await throughout("sockets aborted", async () => {
    const killed = shell("ss -K state established '( dport = :5080 or sport = :5080 )'");
    check(killed.status === 0, `ss -K aborts the pages' sockets${killed.status ? ": " + killed.stderr : ""}`);
  }, async () => {
    const now = await Promise.all(pages.map((p) => p.watched()));
    return now.every((w, i) => w.sockets > socketsBefore[i].sockets) && (await allBack());
  }, 15000);

  // The link goes dead without a word (nftables drops everything on the
  // page's port, which its WebSocket shares); the phone sends a line into it, and the link comes
  // back once the page has said so.
  const intoTheDark = "sent into a dead link";
  await throughout("a dead link", async () => {
    const cut = shell("nft add table inet phone && " +
      "nft add chain inet phone input '{ type filter hook input priority 0; }' && " +
      "nft add rule inet phone input tcp dport 5080 drop && nft add rule inet phone input tcp sport 5080 drop");
    check(cut.status === 0, `nftables cuts the link${cut.status ? ": " + cut.stderr : ""}`);
    const sentDark = Date.now();
    await phone.fill(at.text, intoTheDark);
    await phone.press(at.text, "Enter");
    const told = await until(async () => (await phone.texts(at.connection))[0] !== "", 15000);
    check(told, `a line sent into a dead link is announced on the page (${Date.now() - sentDark} ms, bound 15,000)`);
    await phone.screenshot(screenshotPath.replace(/\.png$/, "-dead-link.png"));
    shell("nft delete table inet phone");
  }, async () => (await log(phone)).includes(`〔${markup}〕${intoTheDark}`) && (await allBack()), 30000);
  check((await roomNow()).log.filter((l) => l === `〔${markup}〕${intoTheDark}`).length === 1,
        "the line sent into the dead link reached the room once");

  // A reload (phones reload a discarded tab when it is shown again).
  await throughout("a reload", () => phone.reload(),
                   async () => (await connected(phone)) && (await log(phone)).includes(`〔${markup}〕${intoTheDark}`), 15000);

  // ---- a duplicated tab starts with a copy of its original's session
  // storage: it knows it is a copy, joins as a member of its own only when
  // asked, and the two never take each other's place
  const deskBefore = await desk.watched();
  const copied = await desk.evaluate(() => sessionStorage.getItem("velmor.session"));
  const copy = await open(sizes.desk, desk);
  await copy.goto(page0);
  await copy.evaluate((session) => sessionStorage.setItem("velmor.session", session), copied);
  await copy.reload();
  check(await until(async () => (await status(copy)).includes("このメンバーは別のタブで入室中です")) &&
        (await copy.value(at.name)) === "花子" && !(await copy.evaluate(() => document.querySelector("#join").hidden)),
        "a duplicated tab knows it is a copy and offers to join, the name filled in");
  await copy.fill(at.name, "花子の複製");
  await copy.click(at.join);
  check(await until(async () => (await members(desk)).includes("花子の複製")), "and joins as a member of its own");
  for (const [p, line] of [[copy, "from the copy"], [desk, "from the original"]]) {
    await p.fill(at.text, line);
    await p.press(at.text, "Enter");
  }
  const once = (l, line) => l.filter((x) => x === line).length === 1;
  check(await until(async () => {
    const { log: now } = await roomNow();
    return once(now, "〔花子の複製〕from the copy") && once(now, "〔花子〕from the original");
  }), "a line from each is posted once, the copy's first id being one the original used");
  const deskAfter = await desk.watched();
  check(deskAfter.sockets === deskBefore.sockets && deskAfter.closed === deskBefore.closed && (await connected(desk)),
        `the original kept its connection throughout (${deskAfter.sockets - deskBefore.sockets} opened, ${deskAfter.closed - deskBefore.closed} closed)`);
  await copy.click(at.leave);
  check(await until(async () => (await log(desk)).includes("【お知らせ】花子の複製さんが退室されました")), "the copy leaves by itself");
  await copy.close();

  // A page gone for good leaves when the grace runs out.
  const passer = await open(sizes.third);
  await passer.goto(page0);
  await passer.fill(at.name, "通行人");
  await passer.click(at.join);
  check(await until(async () => (await members(desk)).includes("通行人")), "a passer-by joins");
  await passer.close();
  const closedAt = Date.now();
  check((await roomNow()).members.includes("通行人"), "a closed page's member stays for the grace");
  check(await until(async () => (await log(desk)).includes("【お知らせ】通行人さんが退室されました"), 20000),
        `and leaves when it runs out (${Date.now() - closedAt} ms, grace ${graceMs} ms)`);

  // In a full room, a newcomer takes the place of the member away longest.
  const late = await open(sizes.third);
  await late.goto(page0);
  await late.fill(at.name, "遅刻");
  await late.click(at.join);
  check(await until(async () => (await members(desk)).includes("遅刻")), "one more page joins");
  const guests = [];
  for (let i = 0; i < 15; i++) {
    const c = new Client();
    await c.ask(wire(`CanEnter?guest${i}/*/~g`), 1);
    guests.push(c);
  }
  check((await roomNow()).members.length === 20, "the room is full");
  await late.close();
  // Away as soon as the server has seen the page go; till then the room is
  // full and a newcomer is turned away.
  let newcomer, welcome = "";
  for (let i = 0; i < 20 && !welcome.includes("newcomer"); i++) {
    if (newcomer) newcomer.socket.destroy();
    newcomer = new Client();
    welcome = await newcomer.ask(wire("CanEnter?newcomer/*/~n"), 2);
  }
  check(welcome.includes("/*/【お知らせ！】newcomerさんが参加しました\r\n【お知らせ】遅刻さんが退室されました\r\n"),
        "a newcomer to a full room takes the place of the member away");
  for (const c of [...guests, newcomer]) c.socket.destroy();

  // ---- the server restarts: the room is kept, every page comes back by
  // itself as the same member, and a line typed meanwhile is posted once
  taro.socket.destroy();
  check(await until(async () => (await log(desk))[0] === "【お知らせ】太郎さんが退室されました", 5000), "the client's leave line is in the room");
  const keptLog = await log(desk);
  await stopVelmor();
  check(await until(async () => (await desk.texts(at.connection))[0].includes("接続が切れました")), "the page says at once that the connection dropped");
  await phone.fill(at.text, "ただいま");
  await phone.press(at.text, "Enter");
  await phone.screenshot(screenshotPath.replace(/\.png$/, "-offline.png"));
  const restartedAt = stderr.length;
  startVelmor();
  const backIn = await until(async () => {
    for (const p of pages) {
      if ((await p.texts(at.connection))[0] !== "") return false;
    }
    return true;
  }, 20000);
  check(backIn, "every page is back in the room without a click");
  // The kept room, with no join or leave line for any page: each took its
  // own place back.
  check(await until(async () => JSON.stringify(await log(desk)) === JSON.stringify([`〔${markup}〕ただいま`, ...keptLog].slice(0, 50)), 5000),
        `the log is kept across the restart and the pages came back without a line: ${JSON.stringify((await log(desk)).slice(0, 4))}`);
  if (tls) {
    check(stderr.slice(restartedAt).includes(`the self-signed certificate, valid until `) &&
          stderr.slice(restartedAt).includes(`SHA-256 ${trust.fingerprint}\n`), "the restarted program serves the certificate it made before");
  }
  check(await until(async () => (await log(desk)).filter((l) => l === `〔${markup}〕ただいま`).length === 1, 5000),
        "the line typed while the server was away is posted once");
  const taro2 = new Client();
  const fetched2 = await taro2.ask(wire("CanEnter?", TARO, "/*/~k"), 1);
  const [roomMembers, roomLog] = fetched2.split("/*/").map((t) => t.split("\r\n").slice(0, -1));
  check(await until(async () => JSON.stringify(await members(desk)) === JSON.stringify(roomMembers) &&
                                JSON.stringify((await log(desk)).slice(0, roomLog.length)) === JSON.stringify(roomLog)),
        "the page shows exactly what a client's fetch shows");
  taro2.socket.destroy();
  const violations = [];
  for (const p of pages) {
    violations.push(...(await p.watched()).violations, ...p.raw.messages.filter((m) => /Content.Security.Policy/i.test(m)));
  }
  check(violations.length === 0, `no policy violation in any page${violations.length ? ": " + violations[0] : ""}`);

  // Another web site cannot join through the browser.
  const before = accepted();
  const evil = await open({ width: 800, height: 600 });
  await evil.goto("http://127.0.0.1:8080/");
  check(await until(async () => (await evil.title()).startsWith("refused"), 5000), "a page from another origin is refused at the handshake");
  check(accepted() === before && !(await members(desk)).includes("intruder"), "the refused page took no slot");

  // Hanako leaves; the others see the leave line.
  const leaving = Date.now();
  await desk.click(at.leave);
  check(await until(async () => (await log(phone)).includes("【お知らせ】花子さんが退室されました"), 2000),
        `退室 logs the leave line at once (${Date.now() - leaving} ms, bound 2,000)`);
  check(!(await members(phone)).includes("花子"), "and takes her out of the member list");
} catch (error) {
  failures.push(String(error && error.stack || error));
  console.log(error);
} finally {
  if (engine) await engine.close().catch((error) => console.log(`closing the browser: ${error}`));
  foreign.close();
  await stopVelmor();
  rmSync(runtime, { recursive: true, force: true });
}
if (failures.length) {
  const driverLog = engine && engine.log ? `\nthe driver said:\n${engine.log().slice(-3000)}` : "";
  console.log(`\n${failures.length} failed; the program said:\n${stderr.slice(-3000)}${driverLog}`);
  process.exit(1);
}
console.log("all passed");
