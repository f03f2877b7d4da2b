// The explorer: pick a model's dimensions, measures, segments and filters,
// run the query through the HTTP API, and see the table, a chart and the SQL
// of both dialects. The query lives in the URL's fragment, so a view can be
// shared; the page loads nothing but this server's files.
import uPlot from "./vendor/uplot/uPlot.esm.js";

const $ = (id) => document.getElementById(id);
const OPERATORS = ["=", "!=", ">", ">=", "<", "<=", "in", "not in", "like", "not like", "ilike",
                   "is null", "is not null"];
const COLORS = ["#2454c5", "#d1495b", "#2a9d8f", "#e9a23b", "#7b4fb0", "#5c8001", "#b5651d", "#00798c"];
let meta = null;
let model = null;
let dialect = "duckdb";
const sqlText = { duckdb: "", spark: "" };
let chart = null;

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === "text") e.textContent = v;
    else e.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) if (c) e.append(c);
  return e;
}

async function api(path, body) {
  const headers = { "Content-Type": "application/json" };
  const token = sessionStorage.getItem("quendra-token");
  if (token) headers.Authorization = "Bearer " + token;
  const init = body === undefined ? { headers } : { method: "POST", headers, body: JSON.stringify(body) };
  const r = await fetch(path, init);
  let doc;
  try { doc = await r.json(); } catch { doc = { code: "Error", message: r.statusText }; }
  if (r.status === 401) $("token-box").hidden = false;
  if (!r.ok) throw Object.assign(new Error(doc.message || r.statusText), { doc, status: r.status });
  return doc;
}

async function loadMeta() {
  for (;;) {
    try {
      return await api("/v1/meta");
    } catch (e) {
      if (e.status !== 503 || e.doc.code !== "Loading") throw e;
      await new Promise((done) => setTimeout(done, 500));
    }
  }
}

// ---------------------------------------------------------------- the form

function choice(kind, item, i) {
  const id = `${kind}-${i}`;
  const box = el("div", { class: "choice", "data-name": item.name });
  box.append(el("input", { type: "checkbox", id, value: item.name }), el("label", { for: id, text: item.name }));
  if (item.grains && item.grains.length) {
    const grain = el("select", { "aria-label": `grain of ${item.name}`, "data-grain": item.name });
    for (const g of item.grains) grain.append(el("option", { value: g, text: g, selected: g === "month" }));
    box.append(grain);
  }
  return box;
}

function showModel(name) {
  model = meta.models.find((m) => m.name === name) || meta.models[0];
  $("model").value = model.name;
  $("dimensions").replaceChildren(...model.dimensions.map((d, i) => choice("dim", d, i)));
  $("measures").replaceChildren(...model.measures.map((m, i) => choice("measure", m, i)));
  $("segments").replaceChildren(...model.segments.map((s, i) => choice("segment", { name: s }, i)));
  $("segments-box").hidden = model.segments.length === 0;
  $("fields").replaceChildren(...[...model.dimensions, ...model.measures].map((f) => el("option", { value: f.name })));
  $("filters").replaceChildren();
  updateOrder();
}

function addFilter(f = {}) {
  const row = el("div", { class: "filter" });
  const field = el("input", { list: "fields", "aria-label": "filter field", placeholder: "field", value: f.field });
  const op = el("select", { "aria-label": "filter operator" });
  for (const o of OPERATORS) op.append(el("option", { value: o, text: o, selected: o === (f.operator || "=") }));
  const given = f.values !== undefined ? f.values.join(", ") : f.value;
  const value = el("input", { "aria-label": "filter value", placeholder: "value", value: given });
  const remove = el("button", { type: "button", "aria-label": "remove this filter", text: "×" });
  remove.addEventListener("click", () => row.remove());
  row.append(field, op, value, remove);
  $("filters").append(row);
  return field;
}

function checked(box) {
  return [...$(box).querySelectorAll("input[type=checkbox]:checked")].map((c) => c.value);
}

function updateOrder() {
  const keep = $("order").value;
  const names = [...checked("dimensions"), ...checked("measures")];
  $("order").replaceChildren(el("option", { value: "", text: "(none)" }),
    ...names.map((n) => el("option", { value: n, text: n, selected: n === keep })));
}

function literal(text) {
  const t = text.trim();
  if (t === "true" || t === "false") return t === "true";
  if (t === "null") return null;
  if (/^-?\d+(\.\d+)?([eE][-+]?\d+)?$/.test(t)) return Number(t);
  return t.replace(/^'(.*)'$/, "$1");
}

function buildQuery() {
  const q = { model: model.name };
  const dims = checked("dimensions");
  if (dims.length) q.dimensions = dims;
  const grains = {};
  for (const d of dims) {
    const g = document.querySelector(`select[data-grain="${CSS.escape(d)}"]`);
    if (g) grains[d] = g.value;
  }
  if (Object.keys(grains).length) q.time_grains = grains;
  const measures = checked("measures");
  if (measures.length) q.measures = measures;
  const segments = checked("segments");
  if (segments.length) q.segments = segments;
  const filters = [];
  for (const row of $("filters").children) {
    const [field, op, value] = row.querySelectorAll("input, select");
    if (!field.value.trim()) continue;
    const f = { field: field.value.trim(), operator: op.value };
    if (op.value === "in" || op.value === "not in") f.values = value.value.split(",").map(literal);
    else if (!op.value.startsWith("is ")) f.value = literal(value.value);
    filters.push(f);
  }
  if (filters.length) q.filters = filters;
  if ($("start").value || $("end").value) q.time_range = { start: $("start").value, end: $("end").value };
  if ($("order").value) q.order_by = [[$("order").value, $("direction").value]];
  if ($("limit").value !== "") q.limit = Number($("limit").value);
  return q;
}

function fillForm(q) {
  showModel(q.model);
  const tick = (box, names) => {
    for (const c of $(box).querySelectorAll("input[type=checkbox]")) c.checked = (names || []).includes(c.value);
  };
  tick("dimensions", q.dimensions);
  tick("measures", q.measures);
  tick("segments", q.segments);
  for (const [d, g] of Object.entries(q.time_grains || {})) {
    const s = document.querySelector(`select[data-grain="${CSS.escape(d)}"]`);
    if (s) s.value = g;
  }
  for (const f of q.filters || []) if (f.field) addFilter(f);
  $("start").value = q.time_range?.start || "";
  $("end").value = q.time_range?.end || "";
  updateOrder();
  const order = (q.order_by || [])[0];
  if (order) {
    $("order").value = Array.isArray(order) ? order[0] : order;
    $("direction").value = Array.isArray(order) && order[1] ? order[1].toLowerCase() : "asc";
  }
  $("limit").value = q.limit ?? "";
}

// ---------------------------------------------------------------- results

function clearErrors() {
  $("error").hidden = true;
  for (const e of document.querySelectorAll(".field-error")) e.remove();
  for (const e of document.querySelectorAll("[aria-invalid]")) e.removeAttribute("aria-invalid");
}

// The message beside every control that names what it quotes, and above
// the results.
function showError(e) {
  const message = e.doc ? `${e.doc.code}: ${e.doc.message}` : String(e);
  $("error").textContent = message;
  $("error").hidden = false;
  const quoted = [...(e.doc?.message || "").matchAll(/'([^']+)'/g)].map((m) => m[1]);
  const targets = [];
  for (const box of document.querySelectorAll(".choice")) {
    if (quoted.includes(box.dataset.name) && box.querySelector("input").checked) targets.push([box, box.querySelector("input")]);
  }
  for (const row of $("filters").children) {
    const field = row.querySelector("input");
    const name = field.value.trim();
    // A name that is no field is read as a column, which the message names.
    if (name && (quoted.includes(name) || quoted.includes(name.split(".").pop()))) targets.push([row, field]);
  }
  if (!targets.length && /time_range|literal/.test(e.doc?.message || "")) targets.push([$("start").parentElement, $("start")]);
  for (const [box, input] of targets) {
    input.setAttribute("aria-invalid", "true");
    box.append(el("span", { class: "field-error", text: e.doc.message }));
  }
}

const numeric = (type) => /^(u?int|float|double|decimal|halffloat)/.test(type);
const temporal = (type) => /^(date|timestamp)/.test(type);

function showTable(result) {
  const head = el("tr", {}, ...result.columns.map((c) => el("th", { scope: "col", text: c.name, title: c.type })));
  $("table").tHead.replaceChildren(head);
  const body = result.rows.map((r) => el("tr", {}, ...r.map((v, i) =>
    el("td", { class: numeric(result.columns[i].type) ? "num" : undefined, text: v === null ? "∅" : String(v) }))));
  $("table").tBodies[0].replaceChildren(...body);
  $("summary").textContent = `${result.rows.length} row${result.rows.length === 1 ? "" : "s"}`;
}

// A line over time when a dimension is a time, bars over the first
// dimension otherwise; one series per measure and per value of the other
// dimensions (at most eight).
function showChart(result, q) {
  if (chart) chart.destroy();
  chart = null;
  $("chart").replaceChildren();
  const nd = (q.dimensions || []).length;
  const cols = result.columns;
  const ms = cols.map((c, i) => i).filter((i) => i >= nd && numeric(cols[i].type));
  if (!result.rows.length || !ms.length) return;
  const ti = cols.findIndex((c, i) => i < nd && temporal(c.type));
  const xi = ti >= 0 ? ti : nd ? 0 : -1;
  const others = [...Array(nd).keys()].filter((i) => i !== xi);
  const xOf = (r) => (xi < 0 ? "all" : r[xi]);
  let labels = [...new Set(result.rows.map(xOf))];
  const time = ti >= 0;
  const at = (s) => Date.parse(String(s).replace(" ", "T") + (String(s).length > 10 ? "Z" : "T00:00:00Z")) / 1000;
  if (time) labels = labels.filter((s) => s !== null).sort((a, b) => at(a) - at(b));
  const xs = time ? labels.map(at) : labels.map((_, i) => i);
  const series = new Map();
  for (const r of result.rows) {
    const x = labels.indexOf(xOf(r));
    if (x < 0) continue;
    for (const m of ms) {
      const key = [cols[m].name, ...others.map((i) => String(r[i]))].join(" · ");
      if (!series.has(key)) {
        if (series.size === 8) continue;
        series.set(key, new Array(xs.length).fill(null));
      }
      const v = r[m];
      series.get(key)[x] = typeof v === "number" ? v : null;
    }
  }
  const keys = [...series.keys()];
  const width = Math.max(280, $("chart").clientWidth || 600);
  const opts = {
    width, height: 300,
    scales: { x: { time } },
    axes: [time ? {} : { values: (u, ticks) => ticks.map((t) => (Number.isInteger(t) ? String(labels[t] ?? "") : "")) }, {}],
    series: [{ label: xi < 0 ? "" : cols[xi].name },
      ...keys.map((k, i) => ({
        label: k, stroke: COLORS[i % COLORS.length], width: 2,
        fill: time ? undefined : COLORS[i % COLORS.length] + "99",
        paths: time ? undefined : uPlot.paths.bars({ size: [0.7 / keys.length, 80], align: 0 }),
        points: { show: time && xs.length < 60 },
        spanGaps: time,
      }))],
  };
  if (!time) opts.scales.x = { time: false, range: [-0.5, xs.length - 0.5] };
  chart = new uPlot(opts, [xs, ...keys.map((k) => series.get(k))], $("chart"));
}

function showSql() {
  $("sql").textContent = sqlText[dialect];
  for (const d of ["duckdb", "spark"]) $(`tab-${d}`).setAttribute("aria-selected", String(d === dialect));
}

async function run() {
  if (!model) return;
  clearErrors();
  const q = buildQuery();
  history.replaceState(null, "", "#q=" + encodeURIComponent(JSON.stringify(q)));
  $("status").textContent = "Running…";
  try {
    const [result, duck, spark] = await Promise.all([
      api("/v1/query", q), api("/v1/sql?dialect=duckdb", q), api("/v1/sql?dialect=spark", q)]);
    sqlText.duckdb = duck.sql;
    sqlText.spark = spark.sql;
    showSql();
    showTable(result);
    showChart(result, q);
    $("status").textContent = `${meta.models.length} models · engine ${meta.engine}`;
  } catch (e) {
    $("status").textContent = "The query failed";
    showError(e);
  }
}

// ---------------------------------------------------------------- wiring

async function main() {
  $("token").value = sessionStorage.getItem("quendra-token") || "";
  $("token").addEventListener("change", () => {
    if ($("token").value === (sessionStorage.getItem("quendra-token") || "")) return;
    sessionStorage.setItem("quendra-token", $("token").value);
    start();
  });
  $("model").addEventListener("change", () => showModel($("model").value));
  $("dimensions").addEventListener("change", updateOrder);
  $("measures").addEventListener("change", updateOrder);
  $("add-filter").addEventListener("click", () => addFilter().focus());
  $("query").addEventListener("submit", (e) => {
    e.preventDefault();
    run();
  });
  document.addEventListener("keydown", (e) => {
    if (e.key === "Enter" && (e.ctrlKey || e.metaKey)) {
      e.preventDefault();
      run();
    }
  });
  for (const d of ["duckdb", "spark"]) {
    $(`tab-${d}`).addEventListener("click", () => { dialect = d; showSql(); });
    $(`tab-${d}`).addEventListener("keydown", (e) => {
      if (e.key === "ArrowLeft" || e.key === "ArrowRight") {
        dialect = dialect === "duckdb" ? "spark" : "duckdb";
        showSql();
        $(`tab-${dialect}`).focus();
      }
    });
  }
  $("copy").addEventListener("click", () => navigator.clipboard?.writeText(sqlText[dialect]).catch(() => {}));
  window.addEventListener("resize", () => chart?.setSize({ width: Math.max(280, $("chart").clientWidth), height: 300 }));
  await start();
}

let starts = 0;

async function start() {
  const me = ++starts;  // a later start (a new token) wins over one still waiting
  let fresh;
  try {
    fresh = await loadMeta();
    if (me !== starts) return;
    meta = fresh;
  } catch (e) {
    if (me !== starts) return;
    $("status").textContent = "Cannot read the models";
    showError(e);
    return;
  }
  $("model").replaceChildren(...meta.models.map((m) => el("option", { value: m.name, text: m.name })));
  $("status").textContent = `${meta.models.length} models · engine ${meta.engine}`;
  const shared = new URLSearchParams(location.hash.slice(1)).get("q");
  if (shared) {
    try {
      fillForm(JSON.parse(shared));
      await run();
      return;
    } catch (e) {
      showError(e);
    }
  }
  showModel(meta.models[0]?.name);
}

main();
