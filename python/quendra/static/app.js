// The explorer: pick a model's dimensions, measures, segments and filters,
// run the query through the HTTP API, and see the table, a chart and the SQL
// of both dialects. The query lives in the URL's fragment, so a view can be
// shared; the page loads nothing but this server's files.
//
// The page's state is the query document itself. Each control edits the
// part it knows and leaves every other part as it was written, so a query
// opened from an address is asked exactly as written; parts no control
// edits are listed as they are, with a way to remove them.
import uPlot from "./vendor/uplot/uPlot.esm.js";

const $ = (id) => document.getElementById(id);
const OPERATORS = ["=", "!=", ">", ">=", "<", "<=", "in", "not in", "like", "not like", "ilike", "not ilike",
                   "is null", "is not null"];
const GRAINS = ["second", "minute", "hour", "day", "week", "month", "quarter", "year"];
const UNITS = ["day", "week", "month", "quarter", "year"];
const FISCAL = ["fiscal_quarter", "fiscal_year"];
const RELATIVE = ["this", "previous", "to_date"];
const COLORS = ["#2454c5", "#d1495b", "#2a9d8f", "#e9a23b", "#7b4fb0", "#5c8001", "#b5651d", "#00798c"];
let meta = null;
let model = null;     // the model's entry in the metadata, when it has one
let state = {};       // the query
let rangeMode = "";   // the range form chosen while its inputs are still empty
let rangeUnit = "month";  // the unit last chosen, kept while the range is fixed
let drafts = new WeakSet();  // filters added here that have no field yet
let dialect = "duckdb";
const panel = { duckdb: "", spark: "", json: "" };
let chart = null;
let runs = 0;

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === "text") e.textContent = v;
    else if (k === "value") e.value = v;
    else e.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) if (c) e.append(c);
  return e;
}

const isStr = (v) => typeof v === "string";
const isObj = (v) => v !== null && typeof v === "object" && !Array.isArray(v);
const isScalar = (v) => v === null || ["string", "number", "boolean"].includes(typeof v);
const keysIn = (o, allowed) => Object.keys(o).every((k) => allowed.includes(k));
const json = (v) => JSON.stringify(v);

function options(select, values, current, labels = {}) {
  const all = [...values];
  if (current !== undefined && current !== null && !all.includes(current)) all.push(current);
  select.replaceChildren(...all.map((v) => el("option", { value: v, text: labels[v] ?? v })));
  select.value = current ?? "";
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

// An edit: the query changed and is not yet what the results show.
function edited() {
  $("pending").hidden = false;
  panel.json = JSON.stringify(state, null, 2);
  if (dialect === "json") showPanel();
}

function setKey(key, value) {
  if (value === undefined) delete state[key];
  else state[key] = value;
  edited();
}

// ---------------------------------------------------------------- the form

const modelDims = () => model?.dimensions || [];
const timeDims = () => modelDims().filter((d) => d.time);
const dimNamed = (name) => modelDims().find((d) => d.name === name);

// A list of names as checkboxes: the model's, then the query's others (a
// name the model lacks, or an entry written as an object) as they are.
function renderChoices(kind, known) {
  const list = Array.isArray(state[kind]) ? state[kind] : [];
  const keyOf = (v) => (isStr(v) ? v : json(v));
  const seen = new Set(known.map((k) => k.name));
  const items = [...known.map((k) => ({ key: k.name, entry: k.name, item: k }))];
  for (const v of list) {
    if (!seen.has(keyOf(v))) {
      seen.add(keyOf(v));
      items.push({ key: keyOf(v), entry: v, item: null });
    }
  }
  const chosen = new Set(list.map(keyOf));
  const boxes = items.map(({ key, entry, item }, i) => {
    const id = `${kind}-${i}`;
    const box = el("div", { class: "choice", "data-name": key });
    const tick = el("input", { type: "checkbox", id, value: key, disabled: kind in state && !Array.isArray(state[kind]) });
    tick.checked = chosen.has(key);
    tick.addEventListener("change", () => toggle(kind, entry, tick.checked));
    box.append(tick, el("label", { for: id, text: key, class: isStr(entry) ? undefined : "code" }));
    if (kind === "dimensions" && isStr(entry)) {
      const own = isObj(state.time_grains) ? state.time_grains[entry] : undefined;
      const grains = item?.grains?.length ? item.grains : isStr(own) ? GRAINS : [];
      if (grains.length) box.append(grainSelect(entry, grains, own));
    }
    return box;
  });
  $(kind).replaceChildren(...boxes);
  // The first chosen name in sight, in a list that scrolls.
  const first = $(kind).querySelector("input:checked")?.parentElement;
  const top = first ? first.offsetTop - $(kind).offsetTop : 0;
  if (first && top + first.offsetHeight > $(kind).clientHeight) $(kind).scrollTop = top - 8;
}

function grainSelect(name, grains, own) {
  const select = el("select", { "aria-label": `grain of ${name}`, "data-grain": name });
  const all = isStr(state.time_grain) ? `${state.time_grain} (for all)` : "no grain";
  options(select, ["", ...grains], isStr(own) ? own : "", { "": all });
  select.addEventListener("change", () => {
    const per = isObj(state.time_grains) ? state.time_grains : {};
    if (select.value) per[name] = select.value;
    else delete per[name];
    setKey("time_grains", Object.keys(per).length ? per : undefined);
    if (select.value && !(state.dimensions || []).includes(name)) toggle("dimensions", name, true);
  });
  return select;
}

function toggle(kind, entry, on) {
  const list = Array.isArray(state[kind]) ? state[kind] : [];
  const key = json(entry);
  const present = list.some((v) => json(v) === key);
  const next = on ? (present ? list : [...list, entry]) : list.filter((v) => json(v) !== key);
  if (next.length) state[kind] = next;
  else delete state[kind];
  if (kind === "dimensions" && isStr(entry)) {
    const d = dimNamed(entry);
    const per = isObj(state.time_grains) ? state.time_grains : null;
    // A time dimension ticked here starts at months; its grain goes with it.
    if (on && d?.grains?.includes("month") && !isStr(state.time_grain) && !(per && entry in per) &&
        !("time_grains" in state && !per))
      state.time_grains = { ...(per || {}), [entry]: "month" };
    if (!on && per && entry in per) {
      delete per[entry];
      if (!Object.keys(per).length) delete state.time_grains;
    }
    renderChoices("dimensions", modelDims());
  }
  edited();
  renderOrder();
  renderExtras();
}

function renderGrain() {
  const grains = [...new Set(timeDims().flatMap((d) => d.grains))];
  $("grain-box").hidden = !grains.length && !isStr(state.time_grain);
  $("time-grain").disabled = "time_grain" in state && !isStr(state.time_grain);
  options($("time-grain"), ["", ...GRAINS.filter((g) => grains.includes(g)), ...grains.filter((g) => !GRAINS.includes(g))],
    isStr(state.time_grain) ? state.time_grain : "", { "": "(each its own)" });
}

// ---------------------------------------------------------------- filters

function opKind(op) {
  const o = String(op).trim().toLowerCase().replace(/\s+/g, " ");
  return o === "in" || o === "not in" ? "list" : o === "is null" || o === "is not null" ? "none" : "one";
}

// A filter the row editor shows exactly: {field, operator, value} with a
// scalar value, or values, as the operator needs.
function isLeaf(f) {
  if (!isObj(f) || !isStr(f.field) || !isStr(f.operator) || !keysIn(f, ["field", "operator", "value", "values"])) return false;
  if ("value" in f && "values" in f) return false;
  if ("values" in f) return Array.isArray(f.values) && f.values.every(isScalar);
  return !("value" in f) || isScalar(f.value);
}

function isGroup(f) {
  return isObj(f) && isStr(f.operator) && /^\s*(and|or)\s*$/i.test(f.operator) && Array.isArray(f.conditions) &&
    keysIn(f, ["operator", "conditions"]);
}

function literal(text) {
  const t = text.trim();
  if (t === "true" || t === "false") return t === "true";
  if (t === "null") return null;
  if (/^-?\d+(\.\d+)?([eE][-+]?\d+)?$/.test(t)) return Number(t);
  return t.replace(/^'(.*)'$/s, "$1");
}

// The text `literal` reads back as v.
function shown(v) {
  if (!isStr(v)) return v === null ? "null" : String(v);
  return literal(v) === v && !v.includes(",") ? v : `'${v}'`;
}

function splitValues(text) {
  const out = [];
  let cur = "", quoted = false;
  for (const ch of text) {
    if (ch === "'") quoted = !quoted;
    if (ch === "," && !quoted) {
      out.push(cur);
      cur = "";
    } else cur += ch;
  }
  out.push(cur);
  return out.map(literal);
}

function readOnly(value, remove, label) {
  const pill = el("div", { class: "pill" });
  pill.append(el("code", { text: (label ? `${label}: ` : "") + json(value) }));
  const x = el("button", { type: "button", class: "remove", "aria-label": `remove ${label || "this part"}`, text: "×" });
  x.addEventListener("click", remove);
  pill.append(x);
  return pill;
}

// The editor of list[i]: a row, a group of rows, or the filter as written.
function filterNode(list, i) {
  const f = list[i];
  const drop = () => {
    list.splice(i, 1);
    if (list === state.filters && !list.length) delete state.filters;
    edited();
    renderFilters();
  };
  if (isGroup(f)) {
    const box = el("div", { class: "group" });
    const op = el("select", { "aria-label": "combine the conditions with" });
    options(op, ["and", "or"], f.operator, { and: "all of (and)", or: "any of (or)" });
    op.addEventListener("change", () => { f.operator = op.value; edited(); });
    const add = el("button", { type: "button", text: "Add a condition" });
    add.addEventListener("click", () => {
      const leaf = { field: "", operator: "=", value: "" };
      drafts.add(leaf);
      f.conditions.push(leaf);
      edited();
      renderFilters();
      box.querySelector(".conditions > .filter:last-child input")?.focus();
    });
    const x = el("button", { type: "button", class: "remove", "aria-label": "remove this group", text: "×" });
    x.addEventListener("click", drop);
    const conditions = el("div", { class: "conditions" }, ...f.conditions.map((_, j) => filterNode(f.conditions, j)));
    box.append(el("div", { class: "group-head" }, op, x), conditions, add);
    return box;
  }
  if (!isLeaf(f)) return readOnly(f, drop);
  const row = el("div", { class: "filter" });
  const field = el("input", { list: "fields", "aria-label": "filter field", placeholder: "field", value: f.field,
                              spellcheck: "false" });
  const op = el("select", { "aria-label": "filter operator" });
  options(op, OPERATORS, f.operator);
  const given = "values" in f ? f.values.map(shown).join(", ") : "value" in f ? shown(f.value) : "";
  const value = el("input", { "aria-label": "filter value", placeholder: "value", value: given });
  const x = el("button", { type: "button", class: "remove", "aria-label": "remove this filter", text: "×" });
  x.addEventListener("click", drop);
  const fit = () => { field.size = Math.max(8, field.value.length + 1); };
  const sync = () => {
    value.disabled = opKind(op.value) === "none";
    fit();
  };
  const rebuild = () => {
    const next = { field: field.value.trim(), operator: op.value };
    const kind = opKind(op.value);
    if (kind === "list") next.values = splitValues(value.value);
    else if (kind === "one") next.value = literal(value.value);
    if (drafts.has(list[i]) && !next.field) drafts.add(next);
    list[i] = next;
    sync();
    edited();
  };
  for (const input of [field, value]) input.addEventListener("input", rebuild);
  op.addEventListener("change", rebuild);
  sync();
  row.append(field, el("div", { class: "filter-rest" }, op, value, x));
  return row;
}

function renderFilters() {
  const list = Array.isArray(state.filters) ? state.filters : null;
  $("filters").replaceChildren(...(list ? list.map((_, i) => filterNode(list, i)) : []));
  renderExtras();
}

function addFilter(group) {
  if (!Array.isArray(state.filters)) {
    if ("filters" in state) return;  // kept as written; shown below
    state.filters = [];
  }
  const leaf = { field: "", operator: "=", value: "" };
  drafts.add(leaf);
  const node = group ? { operator: "or", conditions: [leaf] } : leaf;
  if (group) drafts.add(node);
  state.filters.push(node);
  edited();
  renderFilters();
  const rows = $("filters").querySelectorAll("input[list=fields]");
  rows[rows.length - 1]?.focus();
}

// Filters added here and never given a field are not asked.
function dropDrafts(list) {
  for (let i = list.length - 1; i >= 0; --i) {
    const f = list[i];
    if (isGroup(f)) dropDrafts(f.conditions);
    if (drafts.has(f) && (isGroup(f) ? !f.conditions.length : !f.field)) list.splice(i, 1);
  }
}

// ---------------------------------------------------------------- time

// Which form of time_range the controls show, or null when none does.
function rangeForm(r) {
  if (r === undefined) return "";
  if (!isObj(r)) return null;
  const keys = Object.keys(r);
  if (keys.length && keysIn(r, ["start", "end"]) && keys.every((k) => isStr(r[k]))) return "between";
  if (keysIn(r, ["last", "unit", "complete"]) && Number.isInteger(r.last) && isStr(r.unit) &&
      (!("complete" in r) || typeof r.complete === "boolean")) return "last";
  for (const form of RELATIVE) if (keys.length === 1 && isStr(r[form])) return form;
  return null;
}

function unitsHere() {
  return model?.fiscal ? [...UNITS, ...FISCAL] : UNITS;
}

function renderTime() {
  const form = rangeForm(state.time_range);
  const mode = form === null ? "" : state.time_range === undefined ? rangeMode : form;
  const r = form ? state.time_range : {};
  $("range-mode").value = mode;
  $("range-mode").disabled = form === null;
  $("range-between").hidden = mode !== "between";
  $("range-relative").hidden = !mode || mode === "between";
  $("start").value = r.start ?? "";
  $("end").value = r.end ?? "";
  $("range-count").hidden = mode !== "last";
  if (mode === "last") $("range-count").value = r.last ?? 7;
  $("range-complete").parentElement.hidden = mode !== "last";
  $("range-complete").checked = r.complete === true;
  options($("range-unit"), unitsHere(), mode === "last" ? r.unit : RELATIVE.includes(mode) ? r[mode] : rangeUnit);
  const names = timeDims().map((d) => d.name);
  options($("time-dimension"), ["", ...names], isStr(state.time_dimension) ? state.time_dimension : "",
    { "": "the first grouped" });
  $("now").value = isStr(state.now) ? state.now : "";
  $("time-zone").value = isStr(state.time_zone) ? state.time_zone : "time_zone" in state ? "" : defaultZone();
  for (const [id, key] of [["time-dimension", "time_dimension"], ["now", "now"], ["time-zone", "time_zone"]])
    $(id).disabled = key in state && !isStr(state[key]);
}

const defaultZone = () => model?.time_zone || "UTC";

// The time_range the range controls hold now.
function rangeFromControls() {
  const mode = $("range-mode").value;
  if (mode === "between") {
    const r = {};
    if ($("start").value.trim()) r.start = $("start").value.trim();
    if ($("end").value.trim()) r.end = $("end").value.trim();
    return Object.keys(r).length ? r : undefined;
  }
  if (mode === "last") {
    const r = { last: Math.max(1, Math.round(Number($("range-count").value) || 1)), unit: $("range-unit").value };
    if ($("range-complete").checked) r.complete = true;
    return r;
  }
  return mode ? { [mode]: $("range-unit").value } : undefined;
}

function rangeEdited() {
  rangeMode = $("range-mode").value;
  if (rangeMode && rangeMode !== "between") rangeUnit = $("range-unit").value;
  setKey("time_range", rangeFromControls());
  renderTime();
}

// ---------------------------------------------------------------- order

function orderEntry(o) {
  if (isStr(o)) return { name: o, dir: "" };
  if (Array.isArray(o) && (o.length === 1 || o.length === 2) && o.every(isStr)) return { name: o[0], dir: o[1] ?? "" };
  return null;
}

function selectedNames() {
  return [...(state.dimensions || []), ...(state.measures || [])].filter(isStr);
}

function renderOrder() {
  const list = Array.isArray(state.order_by) ? state.order_by : [];
  const names = [...new Set(selectedNames())];
  const rows = list.map((o, i) => {
    const drop = () => {
      list.splice(i, 1);
      if (!list.length) delete state.order_by;
      edited();
      renderOrder();
    };
    const entry = orderEntry(o);
    if (!entry) return readOnly(o, drop);
    const name = el("select", { "aria-label": "order by", class: "order-name" });
    options(name, names, entry.name);
    const dir = el("select", { "aria-label": "direction", class: "order-dir" });
    options(dir, ["", "asc", "desc"], entry.dir, { "": "default", asc: "ascending", desc: "descending" });
    const rebuild = () => {
      list[i] = dir.value ? [name.value, dir.value] : name.value;
      edited();
    };
    name.addEventListener("change", rebuild);
    dir.addEventListener("change", rebuild);
    const x = el("button", { type: "button", class: "remove", "aria-label": "remove this order", text: "×" });
    x.addEventListener("click", drop);
    return el("div", { class: "order-row" }, name, dir, x);
  });
  $("order").replaceChildren(...rows);
  $("add-order").disabled = !names.length || ("order_by" in state && !Array.isArray(state.order_by));
  renderExtras();
}

function addOrder() {
  const taken = new Set((state.order_by || []).map((o) => orderEntry(o)?.name));
  const name = selectedNames().find((n) => !taken.has(n)) ?? selectedNames()[0];
  if (!name) return;
  state.order_by = [...(state.order_by || []), [name, "desc"]];
  edited();
  renderOrder();
}

// ---------------------------------------------------------------- the rest

// The parts of the query no control shows: every key but those the form
// edits, and the parts of those it cannot show.
function extras() {
  const out = [];
  const shownGrains = new Set([...document.querySelectorAll("select[data-grain]")].map((s) => s.dataset.grain));
  for (const [key, v] of Object.entries(state)) {
    let edits;
    switch (key) {
      case "model": case "time_grain": case "filter": case "now": case "time_zone": case "time_dimension":
        edits = isStr(v); break;
      case "dimensions": case "measures": case "segments": case "filters": case "order_by":
        edits = Array.isArray(v); break;
      case "limit": edits = typeof v === "number"; break;
      case "time_range": edits = rangeForm(v) !== null; break;
      case "time_grains":
        edits = isObj(v);
        if (edits) {
          for (const [d, g] of Object.entries(v)) {
            if (isStr(g) && shownGrains.has(d)) continue;
            out.push([`time_grains.${d}`, g, () => {
              delete v[d];
              if (!Object.keys(v).length) delete state.time_grains;
            }]);
          }
        }
        break;
      default: edits = false;
    }
    if (!edits) out.push([key, v, () => { delete state[key]; }]);
  }
  return out;
}

function renderExtras() {
  const parts = extras();
  $("extras-box").hidden = !parts.length;
  $("extras").replaceChildren(...parts.map(([label, value, remove]) => readOnly(value, () => {
    remove();
    edited();
    render();
  }, label)));
}

function render() {
  options($("model"), meta.models.map((m) => m.name), isStr(state.model) ? state.model : undefined);
  model = meta.models.find((m) => m.name === state.model) || null;
  renderGrain();
  renderChoices("dimensions", modelDims());
  renderChoices("measures", model?.measures || []);
  renderChoices("segments", (model?.segments || []).map((name) => ({ name })));
  $("segments-box").hidden = !model?.segments?.length && !Array.isArray(state.segments);
  $("fields").replaceChildren(...[...modelDims(), ...(model?.measures || [])].map((f) => el("option", { value: f.name })));
  renderFilters();
  $("expression").value = isStr(state.filter) ? state.filter : "";
  // A part written in a form its control cannot hold is listed below; the
  // control waits until it is removed there.
  $("expression").disabled = "filter" in state && !isStr(state.filter);
  $("limit").disabled = "limit" in state && typeof state.limit !== "number";
  renderTime();
  $("limit").value = typeof state.limit === "number" ? String(state.limit) : "";
  renderOrder();
  renderExtras();
  panel.json = JSON.stringify(state, null, 2);
}

function freshQuery(name) {
  return { model: name, limit: 100 };
}

// ---------------------------------------------------------------- results

function clearErrors() {
  $("error").hidden = true;
  for (const e of document.querySelectorAll(".field-error")) e.remove();
  for (const e of document.querySelectorAll("[aria-invalid]")) e.removeAttribute("aria-invalid");
}

// The documentation page the server names for an error: a link where it
// serves the site, else the page's file in the source tree.
function seeAlso(see) {
  if (!isStr(see)) return null;
  const [page, anchor] = see.split("#");
  const file = `docs/${page.replace(/\/$/, "") || "index"}.md${anchor ? "#" + anchor : ""}`;
  const where = isStr(meta?.docs)
    ? el("a", { href: meta.docs + see, target: "_blank", rel: "noopener", text: file })
    : el("code", { text: file });
  return el("p", { class: "see" }, "See ", where);
}

// The message beside every control that names what it quotes, and above
// the results with the page that explains it.
function showError(e) {
  const message = e.doc ? `${e.doc.code}: ${e.doc.message}` : String(e);
  $("error").replaceChildren(el("span", { class: "message", text: message }), seeAlso(e.doc?.see));
  $("error").hidden = false;
  if (!e.doc) return;
  const quoted = [...(e.doc.message || "").matchAll(/'([^']+)'/g)].map((m) => m[1]);
  const targets = [];
  for (const box of document.querySelectorAll(".choice")) {
    if (quoted.includes(box.dataset.name) && box.querySelector("input").checked) targets.push([box, box.querySelector("input")]);
  }
  for (const row of $("filters").querySelectorAll(".filter")) {
    const field = row.querySelector("input");
    const name = field.value.trim();
    // A name that is no field is read as a column, which the message names.
    if (name && (quoted.includes(name) || quoted.includes(name.split(".").pop()))) targets.push([row, field]);
  }
  if (!targets.length && /time_range|literal/.test(e.doc.message || "")) targets.push([$("range-mode").parentElement, $("range-mode")]);
  if (!targets.length && /time zone|time_zone/.test(e.doc.message || "")) targets.push([$("time-zone").parentElement, $("time-zone")]);
  for (const [box, input] of targets) {
    input.setAttribute("aria-invalid", "true");
    box.append(el("span", { class: "field-error", text: e.doc.message }));
  }
}

const numeric = (type) => /^(u?int|float|double|decimal|halffloat)/.test(type);
const temporal = (type) => /^(date|timestamp)/.test(type);
const fractional = (type) => /^(float|double|decimal|halffloat)/.test(type);

// ---------------------------------------------------------------- reading

// Numbers for reading: at most six significant digits, but never fewer
// digits than the whole part has, thousands grouped. The exact value stays
// in the cell's title and in copied text.
const SIGNIFICANT = new Intl.NumberFormat("en-US", { maximumSignificantDigits: 6 });
const WHOLE = new Intl.NumberFormat("en-US", { maximumFractionDigits: 0 });

function readable(v) {
  const n = typeof v === "number" ? v : Number(v);
  if (!Number.isFinite(n) || (isStr(v) && !v.trim())) return String(v);
  if (n === 0) return "0";
  return (Math.abs(n) >= 1e6 ? WHOLE : SIGNIFICANT).format(n);
}

const pad = (n, w = 2) => String(n).padStart(w, "0");

// The ISO week of the Monday at y-m-d: numbered within the year that holds
// the week's Thursday, week 1 being the one that holds 4 January.
function isoWeek(y, m, d) {
  const thursday = new Date(Date.UTC(y, m - 1, d + 3));
  const year = thursday.getUTCFullYear();
  const first = new Date(Date.UTC(year, 0, 1));
  const day = Math.floor((thursday - first) / 86400000);
  return `${year}-W${pad(Math.floor(day / 7) + 1)}`;
}

const TIME_TEXT = /^(-?\d{4,})-(\d\d)-(\d\d)(?:[ T](\d\d):(\d\d):(\d\d)(?:\.(\d+))?)?$/;

// A period as people name it: the value is the first instant of its period
// at this grain, in the calendar of the model (weeks on its week_start,
// fiscal years named by the year they end in).
function periodText(v, grain, calendar) {
  const t = TIME_TEXT.exec(v);
  if (!t) return v;
  const [y, m, d] = [Number(t[1]), Number(t[2]), Number(t[3])];
  const day = `${t[1]}-${t[2]}-${t[3]}`;
  const hm = `${t[4] ?? "00"}:${t[5] ?? "00"}`;
  const start = calendar.fiscal_year_start || 1;
  const fiscalYear = y + (start > 1 && m >= start ? 1 : 0);
  switch (grain) {
    case "year": return t[1];
    case "quarter": return `${t[1]}-Q${Math.floor((m - 1) / 3) + 1}`;
    case "month": return `${t[1]}-${t[2]}`;
    // Weeks from another weekday than Monday have no ISO number; their
    // first day names them.
    case "week": return (calendar.week_start || "monday") === "monday" ? isoWeek(y, m, d) : `week of ${day}`;
    case "day": return day;
    case "hour": case "minute": return `${day} ${hm}`;
    case "second": return `${day} ${hm}:${t[6] ?? "00"}`;
    case "fiscal_year": return `FY${fiscalYear}`;
    case "fiscal_quarter": return `FY${fiscalYear}-Q${Math.floor(((m - start + 12) % 12) / 3) + 1}`;
    default: return v;
  }
}

const midnight = (v) => !isStr(v) || /^-?\d{4,}-\d\d-\d\d( 00:00:00(\.0+)?)?$/.test(v);

// The grain of each answer column: a time dimension's, as the query asks
// for it (its own entry in time_grains, else time_grain); otherwise none.
function columnGrains(result, q) {
  const dims = Array.isArray(q.dimensions) ? q.dimensions : [];
  const per = isObj(q.time_grains) ? q.time_grains : {};
  return result.columns.map((c, i) => {
    const name = dims[i];
    if (i >= dims.length || !isStr(name) || !temporal(c.type)) return null;
    const d = dimNamed(name) ?? dimNamed(`${q.model}.${name}`);
    if (d && !d.time) return null;
    const g = isStr(per[name]) ? per[name] : isStr(q.time_grain) ? q.time_grain : null;
    return g ? g.toLowerCase() : null;
  });
}

// How each column shows its values: numbers rounded (integers grouped
// where they are measures, not where they name something, such as a
// year); periods by their grain; a time column without a grain whose
// values all fall on midnights as days.
function formatters(result, q) {
  const nd = Array.isArray(q.dimensions) ? q.dimensions.length : 0;
  const grains = columnGrains(result, q);
  const calendar = model ?? {};
  return result.columns.map((c, i) => {
    if (fractional(c.type) || (numeric(c.type) && i >= nd)) return readable;
    if (!temporal(c.type)) return String;
    if (grains[i]) return (v) => periodText(v, grains[i], calendar);
    if (result.rows.every((r) => r[i] === null || midnight(r[i]))) return (v) => String(v).split(" ")[0];
    return String;
  });
}

// Rows as shown: in time order when the query asked for none, by its time
// dimensions in the order it names them (nulls last); the query and its
// address stay as they are.
function shownRows(result, q) {
  const unordered = !("order_by" in q) || (Array.isArray(q.order_by) && !q.order_by.length);
  const nd = Array.isArray(q.dimensions) ? q.dimensions.length : 0;
  const times = result.columns.map((c, i) => i).filter((i) => i < nd && temporal(result.columns[i].type));
  if (!unordered || !times.length) return result.rows;
  const cmp = (a, b) => (a === b ? 0 : a === null ? 1 : b === null ? -1 : a < b ? -1 : 1);
  return [...result.rows].sort((x, y) => {
    for (const i of times) {
      const c = cmp(x[i], y[i]);
      if (c) return c;
    }
    return 0;
  });
}

// The table's rows as shown and their exact values, for copying.
let shownTable = { names: [], rows: [] };

const exact = (v) => (v === null ? "" : String(v));

// Tab-separated, a field quoted when it holds a tab, a line break or a quote.
function tsv(lines) {
  const field = (s) => (/[\t\n\r"]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s);
  return lines.map((l) => l.map(field).join("\t")).join("\n") + "\n";
}

function showTable(result, q) {
  const rows = shownRows(result, q);
  const fmt = formatters(result, q);
  shownTable = { names: result.columns.map((c) => c.name), rows };
  const head = el("tr", {}, ...result.columns.map((c) => el("th", { scope: "col", text: c.name, title: c.type })));
  $("table").tHead.replaceChildren(head);
  const body = rows.map((r) => el("tr", {}, ...r.map((v, i) => {
    const text = v === null ? "∅" : fmt[i](v);
    return el("td", { class: numeric(result.columns[i].type) ? "num" : undefined, text,
                      title: v !== null && text !== String(v) ? String(v) : undefined });
  })));
  $("table").tBodies[0].replaceChildren(...body);
  $("summary-text").textContent = `${result.rows.length} row${result.rows.length === 1 ? "" : "s"}`;
  $("copy-table").hidden = false;
}

// Text copied from the table carries the exact values of the cells
// selected (a cell partly selected counts), not the rounded ones.
function copySelection(e) {
  const sel = document.getSelection();
  if (!sel || sel.isCollapsed || !sel.rangeCount) return;
  const table = $("table");
  if (!sel.containsNode(table, true)) return;
  const lines = [];
  for (const row of table.rows) {
    if (!sel.containsNode(row, true)) continue;
    const cells = [...row.cells].filter((c) => sel.containsNode(c, true));
    const body = row.parentElement.tagName === "TBODY";
    lines.push(cells.map((c) => (body ? exact(shownTable.rows[row.sectionRowIndex][c.cellIndex]) : c.textContent)));
  }
  if (!lines.length) return;
  e.clipboardData.setData("text/plain", tsv(lines));
  e.preventDefault();
}

function copyTable() {
  const text = tsv([shownTable.names, ...shownTable.rows.map((r) => r.map(exact))]);
  navigator.clipboard?.writeText(text).catch(() => {});
}

function clearResults() {
  if (chart) chart.destroy();
  chart = null;
  $("chart").replaceChildren();
  $("table").tHead.replaceChildren();
  $("table").tBodies[0].replaceChildren();
  $("summary-text").textContent = "";
  $("copy-table").hidden = true;
  shownTable = { names: [], rows: [] };
  panel.duckdb = panel.spark = "";
  showPanel();
}

const FONT = "12px system-ui, sans-serif";
const measure = document.createElement("canvas").getContext("2d");
function textWidth(text) {
  measure.font = FONT;
  return measure.measureText(text).width;
}

let firstHalf = 0;

// The y axis as wide as its widest label, so that none is cut.
function axisSize(u, values, i, cycle) {
  const axis = u.axes[i];
  if (cycle > 1) return axis._size;
  const text = Math.max(0, ...(values || []).map((v) => textWidth(String(v))));
  // Wide enough, too, for half the first category's label, centred on its bar.
  const size = Math.max(Math.ceil(axis.ticks.size + axis.gap + text) + 4, Math.ceil(firstHalf));
  // The measure, for whoever checks that no label is cut.
  if (i === 1) Object.assign($("chart").dataset, { yLabelWidth: text.toFixed(1), yAxisSize: size });
  return size;
}

// A line over time when a dimension is a time, bars over the first
// dimension otherwise; one series per measure and per value of the other
// dimensions (at most eight). Bars rise from zero.
function showChart(result, q) {
  const fmt = formatters(result, q);
  if (chart) chart.destroy();
  chart = null;
  $("chart").replaceChildren();
  const nd = Array.isArray(q.dimensions) ? q.dimensions.length : 0;
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
      const key = [cols[m].name, ...others.map((i) => (r[i] === null ? "∅" : fmt[i](r[i])))].join(" · ");
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
  const fromZero = (u, lo, hi) => {
    const [a, b] = uPlot.rangeNum(Math.min(0, lo ?? 0), Math.max(0, hi ?? 0), 0.1, true);
    return [lo >= 0 ? 0 : a, hi <= 0 ? 0 : b];
  };
  // Category labels, shortened past 24 characters (the table has them
  // whole), spaced so that none overlaps the next, and room at the right
  // for the last one.
  const names = labels.map((l) => (l === null ? "∅" : xi < 0 ? String(l) : fmt[xi](l)))
    .map((l) => (l.length > 24 ? l.slice(0, 23) + "…" : l));
  const widest = time ? 0 : Math.max(...names.map(textWidth));
  firstHalf = time ? 0 : textWidth(names[0]) / 2 + 4;
  const grain = time ? columnGrains(result, q)[xi] : null;
  const category = (u, ticks) => ticks.map((t) => (Number.isInteger(t) ? names[t] ?? "" : ""));
  const opts = {
    width, height: 300,
    scales: time ? { x: { time: true } } : { x: { time: false, range: [-0.5, xs.length - 0.5] }, y: { range: fromZero } },
    // Room at the right for half the last label, centred on its point.
    padding: [12, time && !grain ? null :
      Math.ceil(Math.min(160, (time ? textWidth(names[names.length - 1] ?? "") : widest) / 2 + 8)), null, null],
    axes: [time ? periodAxis(xs, names, width, grain) :
             { values: category, font: FONT, space: widest + 12, incrs: [1, 2, 5, 10, 20, 50, 100, 200, 500] },
           { size: axisSize, font: FONT }],
    series: [{ label: xi < 0 ? "" : cols[xi].name,
               value: (u, x) => { const i = u.data[0].indexOf(x); return i < 0 ? "—" : names[i] ?? "—"; } },
      ...keys.map((k, i) => ({
        label: k, stroke: COLORS[i % COLORS.length], width: 2,
        fill: time ? undefined : COLORS[i % COLORS.length] + "99",
        fillTo: time ? undefined : 0,
        paths: time ? undefined : uPlot.paths.bars({ size: [0.7 / keys.length, 80], align: 0 }),
        points: { show: time && xs.length < 60 },
        value: (u, v) => (v === null || v === undefined ? "—" : readable(v)),
        spanGaps: time,
      }))],
    hooks: { draw: [(u) => { $("chart").dataset.yMin = u.scales.y.min; }] },
  };
  chart = new uPlot(opts, [xs, ...keys.map((k) => series.get(k))], $("chart"));
}

// A time axis of periods ticks at the periods, named as the table names
// them, every so many so that no two names overlap; without a grain the
// chart's own clock ticks.
function periodAxis(xs, names, width, grain) {
  if (!grain) return { font: FONT };
  const room = Math.max(...names.map(textWidth)) + 16;
  const step = Math.max(1, Math.ceil((xs.length * room) / Math.max(1, width - 90)));
  return {
    font: FONT,
    splits: () => xs.filter((_, i) => i % step === 0),
    values: (u, splits) => splits.map((x) => names[xs.indexOf(x)] ?? ""),
  };
}

function showPanel() {
  $("sql").textContent = panel[dialect];
  for (const d of ["duckdb", "spark", "json"]) $(`tab-${d}`).setAttribute("aria-selected", String(d === dialect));
}

function writeAddress() {
  history.replaceState(null, "", "#q=" + encodeURIComponent(JSON.stringify(state)));
}

async function run() {
  if (Array.isArray(state.filters)) {
    const before = json(state.filters);
    dropDrafts(state.filters);
    if (!state.filters.length && before !== "[]") delete state.filters;
    if (json(state.filters) !== before) renderFilters();
  }
  const q = JSON.parse(JSON.stringify(state));
  writeAddress();
  panel.json = JSON.stringify(q, null, 2);
  $("pending").hidden = true;
  const me = ++runs;
  clearErrors();
  $("status").textContent = "Running…";
  $("now-used").hidden = true;
  try {
    const result = await api("/v1/query", q);
    // The SQL of the instant the answer was read at, when the server's
    // clock chose it.
    const asked = result.now ? { ...q, now: result.now } : q;
    const sql = await Promise.all(["duckdb", "spark"].map((d) =>
      api(`/v1/sql?dialect=${d}`, asked).then((r) => r.sql, (e) => `-- ${e.doc ? e.doc.message : e}`)));
    if (me !== runs) return;
    [panel.duckdb, panel.spark] = sql;
    showPanel();
    showTable(result, q);
    showChart(result, q);
    if (result.now) {
      $("now-used").textContent = `Read at ${result.now}, the server's clock.`;
      $("now-used").hidden = false;
    }
    $("status").textContent = `${meta.models.length} models · engine ${meta.engine}`;
  } catch (e) {
    if (me !== runs) return;
    clearResults();
    $("status").textContent = "The query failed";
    showError(e);
  }
}

// The query an address holds: #q= and the query's JSON, percent-encoded.
function addressQuery() {
  const m = /^#q=(.*)$/s.exec(location.hash);
  if (!m) return undefined;
  let text = m[1];
  try { text = decodeURIComponent(text); } catch { /* written unencoded */ }
  const q = JSON.parse(text);
  if (!isObj(q)) throw new Error("the address holds no query object");
  return q;
}

async function openAddress() {
  let q;
  try {
    q = addressQuery();
  } catch (e) {
    $("error").textContent = `The address holds no query: ${e.message}`;
    $("error").hidden = false;
  }
  if (q) {
    state = q;
    rangeMode = "";
    render();
    await run();
    return;
  }
  state = freshQuery(meta.models[0]?.name);
  render();
}

// ---------------------------------------------------------------- wiring

async function main() {
  $("token").value = sessionStorage.getItem("quendra-token") || "";
  $("token").addEventListener("change", () => {
    if ($("token").value === (sessionStorage.getItem("quendra-token") || "")) return;
    sessionStorage.setItem("quendra-token", $("token").value);
    start();
  });
  $("model").addEventListener("change", () => {
    state = freshQuery($("model").value);
    rangeMode = "";
    edited();
    render();
  });
  $("time-grain").addEventListener("change", () => {
    setKey("time_grain", $("time-grain").value || undefined);
    renderChoices("dimensions", modelDims());
    renderExtras();
  });
  $("add-filter").addEventListener("click", () => addFilter(false));
  $("add-group").addEventListener("click", () => addFilter(true));
  $("expression").addEventListener("input", () => setKey("filter", $("expression").value.trim() ? $("expression").value : undefined));
  $("range-mode").addEventListener("change", rangeEdited);
  for (const id of ["start", "end", "range-count"]) $(id).addEventListener("input", rangeEdited);
  for (const id of ["range-unit", "range-complete"]) $(id).addEventListener("change", rangeEdited);
  $("time-dimension").addEventListener("change", () => setKey("time_dimension", $("time-dimension").value || undefined));
  $("now").addEventListener("input", () => setKey("now", $("now").value.trim() || undefined));
  $("time-zone").addEventListener("input", () => {
    const zone = $("time-zone").value.trim();
    // The model's own zone needs no override.
    setKey("time_zone", zone && zone !== defaultZone() ? zone : undefined);
  });
  $("time-zone").addEventListener("change", () => {
    if (!$("time-zone").value.trim()) $("time-zone").value = defaultZone();
  });
  $("limit").addEventListener("input", () => setKey("limit", $("limit").value === "" ? undefined : Number($("limit").value)));
  $("add-order").addEventListener("click", addOrder);
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
  const tabs = ["duckdb", "spark", "json"];
  for (const d of tabs) {
    $(`tab-${d}`).addEventListener("click", () => { dialect = d; showPanel(); });
    $(`tab-${d}`).addEventListener("keydown", (e) => {
      if (e.key === "ArrowLeft" || e.key === "ArrowRight") {
        dialect = tabs[(tabs.indexOf(dialect) + (e.key === "ArrowRight" ? 1 : 2)) % 3];
        showPanel();
        $(`tab-${dialect}`).focus();
      }
    });
  }
  $("copy").addEventListener("click", () => navigator.clipboard?.writeText(panel[dialect]).catch(() => {}));
  $("copy-table").addEventListener("click", copyTable);
  document.addEventListener("copy", copySelection);
  window.addEventListener("resize", () => chart?.setSize({ width: Math.max(280, $("chart").clientWidth), height: 300 }));
  // An address edited by hand, or another shared link pasted in.
  window.addEventListener("hashchange", () => { if (meta) openAddress(); });
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
  $("zones").replaceChildren(...(meta.time_zones || []).map((z) => el("option", { value: z })));
  $("status").textContent = `${meta.models.length} models · engine ${meta.engine}`;
  await openAddress();
}

main();
