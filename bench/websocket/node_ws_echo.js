// node_ws_echo.js: Node's `ws` WebSocket echo server, a peer korvo is measured against.
//
// Greets every connection with "Hello From Server." and echoes text messages (binary messages
// are dropped, as korvo does). permessage-deflate is off unless --permessage-deflate (then every
// message is compressed, at zlib level 1); --tls-cert and --tls-key (PEM files) serve wss://.
//   node bench/websocket/node_ws_echo.js [--host 127.0.0.1] [--port 2003] [--permessage-deflate]
//                                        [--tls-cert PEM --tls-key PEM]
// The `ws` package is found through NODE_PATH or in interop/node/node_modules.
'use strict';

const fs = require('fs');
const https = require('https');
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
                         '         [--permessage-deflate] [--tls-cert PEM --tls-key PEM]\n' +
                         '  --port 0 picks a free port; the ready line names it.\n');
    process.exit(2);
}

let host = '127.0.0.1';
let port = 2003;
let deflate = false;
let cert = null;
let key = null;
const args = process.argv.slice(2);
for (let i = 0; i < args.length; i += 2) {
    if (args[i] === '--permessage-deflate') {
        deflate = true;
        i -= 1;
        continue;
    }
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
    } else if (args[i] === '--tls-cert') {
        cert = value;
    } else if (args[i] === '--tls-key') {
        key = value;
    } else {
        usage(`unknown option "${args[i]}"`);
    }
}
if ((cert === null) !== (key === null)) {
    usage('--tls-cert and --tls-key go together');
}

const { WebSocketServer } = loadWs();
const perMessageDeflate = deflate ? { threshold: 0, zlibDeflateOptions: { level: 1 } } : false;
let tlsServer = null;
let server;
if (cert !== null) {
    tlsServer = https.createServer({ cert: fs.readFileSync(cert), key: fs.readFileSync(key) });
    server = new WebSocketServer({ server: tlsServer, perMessageDeflate, clientTracking: false });
} else {
    server = new WebSocketServer({ host, port, perMessageDeflate, clientTracking: false });
}
server.on('connection', (socket) => {
    socket.on('error', () => {});
    socket.send('Hello From Server.');
    socket.on('message', (data, isBinary) => {
        if (!isBinary) {
            socket.send(data, { binary: false });
        }
    });
});
const listener = tlsServer !== null ? tlsServer : server;
listener.on('listening', () => {
    const scheme = tlsServer !== null ? 'wss' : 'ws';
    process.stdout.write(`node_ws_echo listening on ${scheme}://${host}:${listener.address().port}/\n`);
});
listener.on('error', (error) => {
    process.stderr.write(`node_ws_echo: ${error.message}\n`);
    process.exit(1);
});
if (tlsServer !== null) {
    tlsServer.listen(port, host);
}
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
