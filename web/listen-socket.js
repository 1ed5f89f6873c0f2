// A worker that receives the listen stream on a WebSocket of its own and hands each datagram
// straight to the listen worklet, so that a busy page (drawing, layout, a long task) never
// delays the audio on its way.
let toWorklet = null;

onmessage = (e) => {
  toWorklet = e.data.port;
  const ws = new WebSocket(e.data.url);
  ws.binaryType = "arraybuffer";
  ws.onmessage = (m) => {
    if (m.data instanceof ArrayBuffer) toWorklet.postMessage(m.data, [m.data]);
    else postMessage(JSON.parse(m.data));  // the bridge saying this socket fell behind
  };
  ws.onclose = () => postMessage({ closed: true });
};
