// A small client for the Dorvent service: one request, one reply, in order.
// Replies carry no request id, so requests are queued and answered in turn;
// "_tflag" is set on every request so a page can still match them up.
class Dorvent {
  constructor(url = "ws://localhost:17798") {
    this.url = url;
    this.queue = [];
    this.tag = 0;
    this.socket = null;
  }

  connect() {
    if (this.socket && this.socket.readyState <= WebSocket.OPEN) return this.ready;
    this.socket = new WebSocket(this.url);
    this.ready = new Promise((resolve, reject) => {
      this.socket.onopen = () => resolve();
      this.socket.onerror = () => reject(new Error("cannot reach " + this.url));
    });
    this.socket.onmessage = (event) => {
      const pending = this.queue.shift();
      if (pending) pending.resolve(JSON.parse(event.data));
    };
    this.socket.onclose = () => {
      for (const pending of this.queue.splice(0)) pending.reject(new Error("connection closed"));
    };
    return this.ready;
  }

  // Sends {"_act": action, ...fields} and resolves with the reply object.
  // The two fingerprint actions are never answered: do not await them.
  async call(action, fields = {}) {
    await this.connect();
    const request = Object.assign({ _act: action, _tflag: String(++this.tag) }, fields);
    return new Promise((resolve, reject) => {
      this.queue.push({ resolve, reject });
      this.socket.send(JSON.stringify(request));
    });
  }
}

if (typeof module !== "undefined") module.exports = { Dorvent };
