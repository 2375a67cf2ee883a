// standin_server: a Node ws echo server that behaves like korvo/wsecho on the WebSocket side
// (greeting first, text echoed, binary ignored). It lets the interop clients be checked on
// their own: `node standin_server.js --port 0 [--permessage-deflate on]` prints the same ready
// line as wsecho; `--korvo` listens on 2001 and prints korvo's line instead.
"use strict";

const path = require("path");
const { WebSocketServer } = require(path.join(__dirname, "node_modules", "ws"));

const args = process.argv.slice(2);
const flag = (name, fallback) => {
  const index = args.indexOf(name);
  return index >= 0 ? args[index + 1] : fallback;
};
const korvo = args.includes("--korvo");
const port = korvo ? 2001 : Number(flag("--port", "0"));
const wsPath = flag("--path", "/ws/");
const deflate = flag("--permessage-deflate", "off") === "on";

const server = new WebSocketServer({
  host: "127.0.0.1",
  port,
  path: wsPath,
  maxPayload: 64 * 1024 * 1024,
  perMessageDeflate: deflate ? { threshold: 0 } : false,
});
server.on("connection", (socket) => {
  socket.send("Hello From Server.");
  socket.on("message", (data, isBinary) => {
    if (!isBinary) {
      socket.send(data.toString("utf8"));
    }
  });
});
server.on("listening", () => {
  const actual = server.address().port;
  console.log(korvo ? "zefWebSockets Server started at ws://127.0.0.1:2001/ws"
                    : `wsecho listening on ws://127.0.0.1:${actual}${wsPath}`);
});
process.on("SIGTERM", () => server.close(() => process.exit(0)));
