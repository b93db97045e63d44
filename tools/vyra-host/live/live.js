// The live page: devices from /api/devices, then everything from the event stream.
// Every text from the server is set as text, never as markup.
"use strict";
(function () {
  const devices = new Map();  // serial -> device view
  const root = document.getElementById("devices");
  const link = document.getElementById("link");
  const windowInput = document.getElementById("window");
  let windowSeconds = Number(new URLSearchParams(location.search).get("window")) || 30;
  windowInput.value = windowSeconds;
  windowInput.addEventListener("change", () => {
    const v = Number(windowInput.value);
    if (v > 0) windowSeconds = v;
    for (const d of devices.values()) for (const c of d.channels.values()) c.dirty = true;
    schedule();
  });

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function seconds(t) { return Number(t).toFixed(2) + " s"; }

  function buildDevice(info) {
    const section = el("section", "device");
    section.dataset.serial = info.serial;
    const h = el("h2");
    const title = el("span", "title");
    const state = el("span", "state");
    h.append(title, state);
    const charts = el("div", "charts");
    const lower = el("div", "lower");
    const cyclesBox = el("div");
    const table = el("table", "cycles");
    const head = el("tr");
    for (const t of ["cycle", "time", "systolic (mmHg)", "diastolic (mmHg)", "error"]) head.append(el("th", "", t));
    const thead = el("thead");
    thead.append(head);
    const tbody = el("tbody");
    table.append(thead, tbody);
    cyclesBox.append(el("h3", "", "Cuff cycles"), table);
    const commentsBox = el("div");
    const comments = el("ul", "comments");
    commentsBox.append(el("h3", "", "Comments"), comments);
    lower.append(cyclesBox, commentsBox);
    section.append(h, charts, lower);
    document.getElementById("empty")?.remove();
    // In serial-number order, whatever order the devices started in.
    const after = [...root.querySelectorAll("section.device")].find((e) => e.dataset.serial > info.serial);
    root.insertBefore(section, after || null);
    const d = { section, title, state, charts, tbody, comments, channels: new Map(), latest: 0, cycles: new Map(),
                seen: new Set() };
    devices.set(info.serial, d);
    return d;
  }

  function describe(info) {
    const d = devices.get(info.serial) || buildDevice(info);
    d.title.textContent = `${info.name} · serial ${info.serial} · firmware ${info.firmware}`;
    setState(d, info.state);
    for (const c of info.channels) {
      if (d.channels.has(c.number)) continue;
      const box = el("div", "chart");
      box.dataset.channel = c.name;
      const title = el("div", "title");
      const label = c.unit ? `${c.name} (${c.unit})` : c.name;
      const last = el("span", "last", "–");
      title.append(el("span", "name", label), last);
      const plot = el("div", "plot");
      box.append(title, plot);
      d.charts.append(box);
      d.channels.set(c.number, { info: c, label, plot, last, data: [], chart: null, dirty: false });
    }
  }

  function setState(d, state) {
    d.state.textContent = state;
    d.state.className = "state " + state;
  }

  let loading = null;
  function loadDevices() {
    if (!loading) {
      loading = fetch("api/devices", { cache: "no-store" })
        .then((r) => r.json())
        .then((list) => list.forEach(describe))
        .catch(() => {})
        .finally(() => { loading = null; });
    }
    return loading;
  }

  // Events for a device not described yet wait for the description.
  function withDevice(serial, f) {
    const d = devices.get(serial);
    if (d) return f(d);
    loadDevices().then(() => { const again = devices.get(serial); if (again) f(again); });
  }

  let scheduled = false;
  function schedule() {
    if (scheduled) return;
    scheduled = true;
    setTimeout(render, 200);
  }

  function render() {
    scheduled = false;
    for (const d of devices.values()) {
      const from = d.latest - windowSeconds;
      for (const c of d.channels.values()) {
        if (!c.dirty || c.data.length === 0) continue;
        c.dirty = false;
        let cut = 0;
        while (cut < c.data.length && c.data[cut][0] < from) cut++;
        if (cut > 0) c.data.splice(0, cut);
        if (c.data.length === 0) continue;
        const [t, v] = c.data[c.data.length - 1];
        c.last.textContent = `${v} at ${seconds(t)}`;
        c.last.dataset.t = t;
        c.last.dataset.value = v;
        const window = [Math.max(0, from), Math.max(d.latest, windowSeconds)];
        if (!c.chart) {
          c.chart = new Dygraph(c.plot, c.data, {
            labels: ["t (s)", c.label], dateWindow: window, legend: "never", drawPoints: false,
            valueRange: [c.info.min, c.info.max], axisLabelWidth: 40, strokeWidth: 1.2, colors: ["#1f5f8b"],
            xlabel: null, ylabel: null, xAxisHeight: 18, animatedZooms: false, interactionModel: {},
          });
        } else {
          c.chart.updateOptions({ file: c.data, dateWindow: window });
        }
      }
    }
  }

  const events = new EventSource("api/events");
  events.onopen = () => { link.textContent = "live"; link.className = "link open"; loadDevices(); };
  events.onerror = () => { link.textContent = "disconnected"; link.className = "link closed"; };
  events.addEventListener("samples", (e) => {
    const m = JSON.parse(e.data);
    withDevice(m.serial, (d) => {
      const c = d.channels.get(m.channel);
      if (!c) return;
      for (let i = 0; i < m.values.length; i++) c.data.push([m.t0 + i * m.period_s, m.values[i]]);
      d.latest = Math.max(d.latest, m.t0 + (m.values.length - 1) * m.period_s);
      c.dirty = true;
      schedule();
    });
  });
  events.addEventListener("comment", (e) => {
    const m = JSON.parse(e.data);
    withDevice(m.serial, (d) => {
      const key = m.t + "|" + m.text;
      if (d.seen.has(key)) return;  // replayed after a reconnection
      d.seen.add(key);
      const channel = m.channel === null ? "" : ` (${d.channels.get(m.channel)?.info.name ?? "channel " + m.channel})`;
      const li = el("li", "", `${seconds(m.t)}${channel}: ${m.text}`);
      d.comments.prepend(li);
    });
  });
  events.addEventListener("cycle", (e) => {
    const m = JSON.parse(e.data);
    withDevice(m.serial, (d) => {
      if (d.cycles.has(m.index)) return;  // replayed after a reconnection
      const tr = el("tr", "cycle");
      const ok = m.error === undefined;
      tr.append(el("td", "", String(m.index)), el("td", "", seconds(m.t)),
                el("td", "sys", ok ? String(m.systolic) : ""), el("td", "dia", ok ? String(m.diastolic) : ""),
                el("td", "error", ok ? "" : m.error));
      d.cycles.set(m.index, tr);
      d.tbody.append(tr);
    });
  });
  events.addEventListener("state", (e) => {
    const m = JSON.parse(e.data);
    withDevice(m.serial, (d) => setState(d, m.state));
  });
  loadDevices();
})();
