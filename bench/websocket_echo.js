// The benchmark's Node peer for WebSocket rows: the `ws` package (Debian's
// node-ws) echoing every message as it came, on 127.0.0.1 at the port given.
//   node websocket_echo.js PORT
const { WebSocketServer } = require("ws");
const port = Number(process.argv[2] || 8080);
const server = new WebSocketServer({ host: "127.0.0.1", port, perMessageDeflate: false });
server.on("connection", (socket) => {
  socket.on("message", (data, isBinary) => socket.send(data, { binary: isBinary }));
});
server.on("listening", () => console.log(`ws port ${server.address().port}`));
