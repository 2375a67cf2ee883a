// node_http_hello.js: Node's `http` hello server, a peer halden is measured against.
//
// Answers GET /vek/orbis/hello with 200 and "Hello, World!" (text/plain), anything else with 404.
//   node bench/node_http_hello.js [--host 127.0.0.1] [--port 2004]
// --port 0 picks a free port; when ready it prints "node_http_hello listening on http://HOST:PORT/".
'use strict';

const http = require('http');

function usage(problem) {
    process.stderr.write(`node_http_hello: ${problem}\n` +
                         'usage: node node_http_hello.js [--host 127.0.0.1] [--port 2004]\n');
    process.exit(2);
}

let host = '127.0.0.1';
let port = 2004;
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

const body = Buffer.from('Hello, World!');
const server = http.createServer((request, response) => {
    if (request.url === '/vek/orbis/hello') {
        response.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': body.length });
        response.end(body);
    } else {
        response.writeHead(404, { 'Content-Length': 0 });
        response.end();
    }
});
server.keepAliveTimeout = 120000;
server.on('listening', () => {
    process.stdout.write(`node_http_hello listening on http://${host}:${server.address().port}/\n`);
});
server.on('error', (error) => {
    process.stderr.write(`node_http_hello: ${error.message}\n`);
    process.exit(1);
});
server.listen(port, host);
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
