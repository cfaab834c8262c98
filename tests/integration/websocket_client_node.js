#!/usr/bin/env node
// A WebSocket client for the live-channel tests, on Node's ws package:
//   websocket_client_node.js URL SCENARIO CAFILE [SIZE|COUNT] [deflate|plain]
// echo: a text and a binary message of SIZE bytes, each compared with its
// echo; oversize: one binary message of SIZE bytes, then the server's close;
// hold: COUNT WebSockets that keep echoing until the server closes them.
// Prints what it saw, one line per fact; every wait is bounded.
'use strict';
const fs = require('fs');
const WebSocket = require('ws');

const [url, scenario, cafile, amount = '1', mode = 'plain'] = process.argv.slice(2);
const size = Number(amount);
const limitMs = 60000;

const timer = setTimeout(() => {
  console.log('timeout');
  process.exit(2);
}, limitMs);

function finish() {
  clearTimeout(timer);
  process.exit(0);
}

function connect() {
  const options = {perMessageDeflate: mode === 'deflate', maxPayload: 64 * 1024 * 1024};
  if (url.startsWith('wss:')) options.ca = fs.readFileSync(cafile);
  const ws = new WebSocket(url, options);
  ws.on('error', (error) => console.log('error:' + error.message));
  return ws;
}

// Text: letters; binary: bytes that do not compress, unless deflate is asked.
function payload(binary) {
  const bytes = Buffer.alloc(size);
  let state = 12345;
  for (let i = 0; i < size; ++i) {
    if (!binary) {
      bytes[i] = 97 + (i % 26);
    } else if (mode === 'deflate') {
      bytes[i] = i % 7;
    } else {
      state = (state * 1103515245 + 12345) >>> 0;
      bytes[i] = state >>> 24;
    }
  }
  return bytes;
}

function echo() {
  const ws = connect();
  const sent = [payload(false), payload(true)];
  let step = 0;
  ws.on('open', () => {
    // The agreed extensions' names, without their parameters.
    const names = ws.extensions.split(',').map((one) => one.split(';')[0].trim()).filter((name) => name);
    console.log('extensions:' + (names.join(',') || 'none'));
    ws.send(sent[0].toString('latin1'), {binary: false});
  });
  ws.on('message', (data, isBinary) => {
    const kind = step === 0 ? 'text' : 'binary';
    const same = isBinary === (step === 1) && Buffer.from(data).equals(sent[step]);
    console.log(kind + ':' + data.length + ':' + (same ? 'same' : 'different'));
    ++step;
    if (step === 1) {
      ws.send(sent[1], {binary: true});
    } else {
      ws.close(4001, 'node done');
    }
  });
  ws.on('close', (code) => {
    console.log('closed:' + code);
    finish();
  });
}

function oversize() {
  const ws = connect();
  ws.on('open', () => ws.send(payload(true), {binary: true}));
  ws.on('message', () => console.log('unexpected message'));
  ws.on('close', (code) => {
    console.log('close:' + code);
    finish();
  });
}

function hold() {
  let opened = 0;
  let closed = 0;
  for (let i = 0; i < size; ++i) {
    const ws = connect();
    ws.on('open', () => {
      if (++opened === size) console.log('open:' + opened);
      ws.send('chatter ' + i);
    });
    ws.on('message', (data) => {
      if (ws.readyState === WebSocket.OPEN) ws.send(data.toString());
    });
    ws.on('close', (code, reason) => {
      console.log('closed:' + code + ':' + reason.toString());
      if (++closed === size) finish();
    });
  }
}

({echo, oversize, hold})[scenario]();
