// echo_client: Node's ws as a client of an echo server that greets first (korvo, wsecho).
//
//   node echo_client.js --url ws://127.0.0.1:2001/ws/ [--deflate '{"serverMaxWindowBits":9}']
//                       [--extensions 'value|other accepted value|none']
//                       [--suite full|compression]
//
// Runs a table of cases, prints one line per failure and exits 1 when any case failed.
// Every wait is bounded.
"use strict";

const path = require("path");
const WebSocket = require(path.join(__dirname, "node_modules", "ws"));

const TIMEOUT_MS = 30000;

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const index = args.indexOf(name);
  return index >= 0 ? args[index + 1] : fallback;
};
const url = option("--url");
const deflate = option("--deflate") === undefined ? false
  : { threshold: 0, ...JSON.parse(option("--deflate")) };
const expectedExtensions = option("--extensions");
const suite = option("--suite", "full");

function asciiText(size) {
  const alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ.";
  let text = "";
  for (let index = 0; index < size; index++) {
    text += alphabet[(index * 7 + Math.floor(index / 64)) % alphabet.length];
  }
  return text;
}

const messageCases = [
  ["empty", ""],
  ["one byte", "a"],
  ["125 bytes", asciiText(125)],
  ["126 bytes", asciiText(126)],
  ["65535 bytes", asciiText(65535)],
  ["65536 bytes", asciiText(65536)],
  ["1 MiB", asciiText(1 << 20)],
  ["1 MiB highly compressible", "z".repeat(1 << 20)],
  ["empty after a large one", ""],
  ["non-ASCII", "Grüße, 日本語, 😀🎉𝄞 and €"],
  ["repeated text (context takeover)", "the same sentence again and again. ".repeat(40)],
  ["repeated text once more", "the same sentence again and again. ".repeat(40)],
];

// A socket wrapper that queues incoming messages so that a test can await them one by one.
class Client {
  static open(url) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(url, { perMessageDeflate: deflate, maxPayload: 0 });
      const client = new Client(socket);
      const timer = setTimeout(() => reject(new Error("open timed out")), TIMEOUT_MS);
      socket.once("upgrade", (response) => {
        client.extensions = response.headers["sec-websocket-extensions"];
      });
      socket.once("open", () => { clearTimeout(timer); resolve(client); });
      socket.once("error", (error) => { clearTimeout(timer); reject(error); });
    });
  }

  constructor(socket) {
    this.socket = socket;
    this.queue = [];
    this.waiters = [];
    this.closeCode = null;
    socket.on("message", (data, isBinary) => this.push({ data, isBinary }));
    socket.on("error", (error) => this.push({ error }));
  }

  push(item) {
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter(item);
    } else {
      this.queue.push(item);
    }
  }

  next() {
    if (this.queue.length > 0) {
      return Promise.resolve(this.queue.shift());
    }
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error("no message in time")), TIMEOUT_MS);
      this.waiters.push((item) => { clearTimeout(timer); resolve(item); });
    });
  }

  async nextText() {
    const item = await this.next();
    if (item.error) {
      throw item.error;
    }
    if (item.isBinary) {
      throw new Error("received a binary message");
    }
    return item.data.toString("utf8");
  }

  send(data, options = {}) {
    return new Promise((resolve, reject) =>
      this.socket.send(data, options, (error) => (error ? reject(error) : resolve())));
  }

  close(code, reason) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error("close timed out")), TIMEOUT_MS);
      this.socket.once("close", (received) => { clearTimeout(timer); resolve(received); });
      this.socket.close(code, reason);
    });
  }

  terminate() {
    this.socket.terminate();
  }
}

async function greeted() {
  const client = await Client.open(url);
  const greeting = await client.nextText();
  if (greeting !== "Hello From Server.") {
    throw new Error(`first message ${JSON.stringify(greeting.slice(0, 80))}, not the greeting`);
  }
  return client;
}

// An extension value with its parameters sorted and blanks dropped: order and spacing are free.
function canonical(value) {
  const [name, ...params] = value.split(";").map((item) => item.replace(/\s+/g, ""));
  return [name, ...params.sort()].join(";");
}

function expectEqual(actual, expected, what) {
  if (actual !== expected) {
    const show = (value) => (typeof value === "string" && value.length > 80
      ? `${value.length} characters starting ${JSON.stringify(value.slice(0, 40))}`
      : JSON.stringify(value));
    throw new Error(`${what}: got ${show(actual)}, expected ${show(expected)}`);
  }
}

const tests = [
  ["negotiated extensions", async () => {
    const client = await greeted();
    try {
      if (expectedExtensions !== undefined) {
        const received = canonical(client.extensions === undefined ? "none" : client.extensions);
        const accepted = expectedExtensions.split("|").map(canonical);
        if (!accepted.includes(received)) {
          throw new Error(`Sec-WebSocket-Extensions: got ${JSON.stringify(client.extensions)},` +
                          ` expected one of ${JSON.stringify(accepted)}`);
        }
      }
    } finally {
      await client.close(1000);
    }
  }],
  ["text messages come back unchanged, one message each", async () => {
    const client = await greeted();
    try {
      for (const [name, text] of messageCases) {
        await client.send(text);
        await client.send("sentinel");
        expectEqual(await client.nextText(), text, name);
        expectEqual(await client.nextText(), "sentinel", `${name}: the message after it`);
      }
    } finally {
      await client.close(1000);
    }
  }],
  ["binary messages are not echoed", async () => {
    const client = await greeted();
    try {
      for (const size of [0, 3, 70000]) {
        await client.send(Buffer.alloc(size, 7), { binary: true });
        await client.send("after binary");
        expectEqual(await client.nextText(), "after binary", `binary of ${size} bytes`);
      }
    } finally {
      await client.close(1000);
    }
  }],
  ["pings are answered with their payload", async () => {
    const client = await greeted();
    try {
      for (const payload of ["", "p", "x".repeat(125)]) {
        const pong = new Promise((resolve, reject) => {
          const timer = setTimeout(() => reject(new Error("no pong in time")), TIMEOUT_MS);
          client.socket.once("pong", (data) => { clearTimeout(timer); resolve(data); });
        });
        client.socket.ping(payload);
        expectEqual((await pong).toString(), payload, "pong payload");
      }
    } finally {
      await client.close(1000);
    }
  }],
  ["a close gets a close with 1000", async () => {
    for (const [code, reason] of [[1000, ""], [1001, "going away"], [3000, "app"]]) {
      const client = await greeted();
      expectEqual(await client.close(code, reason), 1000, `answer to close ${code}`);
    }
  }],
  ["two clients at once get only their own echoes", async () => {
    const [first, second] = await Promise.all([greeted(), greeted()]);
    try {
      const talk = async (client, name) => {
        const sent = Array.from({ length: 50 }, (_, index) => `${name} message ${index}`);
        const sending = Promise.all(sent.map((text) => client.send(text)));
        const received = [];
        for (let index = 0; index < sent.length; index++) {
          received.push(await client.nextText());
        }
        await sending;
        expectEqual(received.join("|"), sent.join("|"), `${name}'s echoes`);
      };
      await Promise.all([talk(first, "first"), talk(second, "second")]);
    } finally {
      await Promise.all([first.close(1000), second.close(1000)]);
    }
  }],
];

const suites = {
  full: tests.map(([name]) => name),
  compression: ["negotiated extensions", "text messages come back unchanged, one message each",
                "two clients at once get only their own echoes"],
};

async function main() {
  if (!url || !suites[suite]) {
    console.error("usage: node echo_client.js --url URL [--deflate JSON] [--extensions VALUE]" +
                  " [--suite full|compression]");
    process.exit(2);
  }
  let failures = 0;
  for (const [name, run] of tests.filter(([name]) => suites[suite].includes(name))) {
    try {
      await run();
    } catch (error) {
      failures++;
      console.error(`${name}: ${error.message}`);
    }
  }
  process.exit(failures === 0 ? 0 : 1);
}

main();
