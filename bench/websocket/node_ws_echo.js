// node_ws_echo.js: Node's `ws` WebSocket echo server, a peer korvo is measured against.
//
// Greets every connection with "Hello From Server." and echoes text messages (binary messages
// are dropped, as korvo does). permessage-deflate is off.
//   node bench/websocket/node_ws_echo.js [--host 127.0.0.1] [--port 2003]
// The `ws` package is found through NODE_PATH or in interop/node/node_modules.
'use strict';

const path = require('path');

function loadWs() {
    try {
        return require('ws');
    } catch (error) {
        return require(path.join(__dirname, '..', '..', 'interop', 'node', 'node_modules', 'ws'));
    }
}

function usage(problem) {
    if (problem) {
        process.stderr.write(`node_ws_echo: ${problem}\n`);
    }
    process.stderr.write('usage: node node_ws_echo.js [--host 127.0.0.1] [--port 2003]\n' +
                         '  --port 0 picks a free port; the ready line names it.\n');
    process.exit(2);
}

let host = '127.0.0.1';
let port = 2003;
const args = process.argv.slice(2);
for (let i = 0; i < args.length; i += 2) {
    const value = args[i + 1];
    if (value === undefined) {
        usage(`${args[i]} needs a value`);
    }
    if (args[i] === '--host') {
        host = value;
    } else if (args[i] === '--port') {
        port = Number(value);
        if (!Number.isInteger(port) || port < 0 || port > 65535) {
            usage(`bad port "${value}"`);
        }
    } else {
        usage(`unknown option "${args[i]}"`);
    }
}

const { WebSocketServer } = loadWs();
const server = new WebSocketServer({ host, port, perMessageDeflate: false, clientTracking: false });
server.on('connection', (socket) => {
    socket.on('error', () => {});
    socket.send('Hello From Server.');
    socket.on('message', (data, isBinary) => {
        if (!isBinary) {
            socket.send(data, { binary: false });
        }
    });
});
server.on('listening', () => {
    process.stdout.write(`node_ws_echo listening on ws://${host}:${server.address().port}/\n`);
});
server.on('error', (error) => {
    process.stderr.write(`node_ws_echo: ${error.message}\n`);
    process.exit(1);
});
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
