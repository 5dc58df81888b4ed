// The lineage page: tables as boxes of their columns, laid out in layers from
// sources (left) to targets (right); click a column to see what feeds it and
// what it feeds. Everything here runs offline on the data inlined in the page.
(function () {
  "use strict";
  const D = JSON.parse(document.getElementById("lineage-data").textContent);
  const SVGNS = "http://www.w3.org/2000/svg";
  const ROW = 20, HEAD = 26, PAD = 8, GAP_X = 150, GAP_Y = 22, MIN_W = 150;
  // colours of the transformations; a subtype not named here takes a spare one
  const COLOURS = {
    IDENTITY: "#2f7fd1", TRANSFORMATION: "#1a9e77", AGGREGATION: "#d95f02",
    JOIN: "#7570b3", FILTER: "#e7298a", GROUP_BY: "#66a61e", SORT: "#a6761d",
    WINDOW: "#e6ab02", CONDITIONAL: "#c0392b",
  };
  const SPARE = ["#1b9e9e", "#8c564b", "#bcbd22", "#17becf", "#7f7f7f"];
  const subtypeColour = D.subtypes.map(function (s, i) { return COLOURS[s] || SPARE[i % SPARE.length]; });

  // ---- the graph: columns are numbered nodes, table by table ----
  const nodeTable = [], nodeName = [], tableFirst = [];
  D.tables.forEach(function (t, i) {
    tableFirst.push(nodeTable.length);
    t[3].forEach(function (c) { nodeTable.push(i); nodeName.push(c); });
  });
  const N = nodeTable.length;
  const inEdges = [], outEdges = [];
  for (let n = 0; n < N; n++) { inEdges.push([]); outEdges.push([]); }
  D.edges.forEach(function (e, k) { outEdges[e[0]].push(k); inEdges[e[1]].push(k); });
  // the node of what shapes every column of a table (joins, filters, grouping)
  const everyOf = D.tables.map(function (t, i) {
    const j = t[3].indexOf(D.every);
    return j < 0 ? -1 : tableFirst[i] + j;
  });
  const isEvery = function (n) { return everyOf[nodeTable[n]] === n; };
  const fullName = function (n) { return D.tables[nodeTable[n]][0] + "." + nodeName[n]; };
  const label = function (n) { return isEvery(n) ? "(every column)" : nodeName[n]; };

  // ---- what the user chose ----
  const hiddenSubtypes = new Set(), hiddenSchemas = new Set(), collapsed = new Set();
  let selection = null;   // {nodes: [...]} or null
  let pos = [];           // per table: {x, y, w, h} or null when hidden
  let edgeDrawn = [];     // per edge: index of the path that draws it, or -1
  let colEls = [], pathEls = [], tableEls = [];

  const visibleTable = function (t) { return !hiddenSchemas.has(D.tables[t][1]); };
  const visibleEdge = function (e) {
    return !hiddenSubtypes.has(e[3]) && visibleTable(nodeTable[e[0]]) && visibleTable(nodeTable[e[1]]);
  };

  // ---- text widths, measured once per text ----
  const ctx = document.createElement("canvas").getContext("2d");
  const widthCache = new Map();
  function textWidth(text, font) {
    const key = font + "|" + text;
    let w = widthCache.get(key);
    if (w === undefined) { ctx.font = font; w = ctx.measureText(text).width; widthCache.set(key, w); }
    return w;
  }
  const FONT = "12px system-ui, -apple-system, 'Segoe UI', 'DejaVu Sans', sans-serif";
  const BOLD = "600 " + FONT;

  // ---- layout: layers from sources to targets, ordered to cross little ----
  function layout() {
    const T = D.tables.length;
    const size = [];
    for (let t = 0; t < T; t++) {
      if (!visibleTable(t)) { size.push(null); continue; }
      let w = textWidth(D.tables[t][0], BOLD) + 44;
      if (!collapsed.has(t)) {
        for (let n = tableFirst[t]; n < tableFirst[t] + D.tables[t][3].length; n++) {
          w = Math.max(w, textWidth(label(n), FONT) + 2 * PAD + 16);
        }
      }
      const rows = collapsed.has(t) ? 1 : D.tables[t][3].length;
      size.push({ w: Math.max(MIN_W, Math.ceil(w)), h: HEAD + rows * ROW + 4 });
    }
    // table-level edges, weighted by the column edges they stand for
    const succ = [], pred = [];
    for (let t = 0; t < T; t++) { succ.push(new Map()); pred.push(new Map()); }
    D.edges.forEach(function (e) {
      if (!visibleEdge(e)) return;
      const a = nodeTable[e[0]], b = nodeTable[e[1]];
      if (a === b) return;
      succ[a].set(b, (succ[a].get(b) || 0) + 1);
      pred[b].set(a, (pred[b].get(a) || 0) + 1);
    });
    const layer = layers(T, size, succ, pred);
    const byLayer = [];
    for (let t = 0; t < T; t++) {
      if (!size[t]) continue;
      (byLayer[layer[t]] = byLayer[layer[t]] || []).push(t);
    }
    for (let l = 0; l < byLayer.length; l++) byLayer[l] = byLayer[l] || [];
    order(byLayer, succ, pred);
    // x: one column per layer, as wide as its widest box
    let x = 0;
    pos = new Array(T).fill(null);
    byLayer.forEach(function (ts) {
      const w = Math.max.apply(null, ts.map(function (t) { return size[t].w; }).concat([0]));
      ts.forEach(function (t) { pos[t] = { x: x, y: 0, w: size[t].w, h: size[t].h }; });
      x += w + GAP_X;
    });
    // y: boxes stacked in their order, then moved so that the columns an edge
    // joins come level, as far as the order and the gaps let them
    const near = rowLinks(size);
    byLayer.forEach(function (ts) {
      let y = 0;
      ts.forEach(function (t) { pos[t].y = y; y += pos[t].h + GAP_Y; });
    });
    for (let round = 0; round < 4; round++) {
      for (let l = 1; l < byLayer.length; l++) place(byLayer[l], near.pred);
      for (let l = byLayer.length - 2; l >= 0; l--) place(byLayer[l], near.succ);
    }
    let top = Infinity;
    pos.forEach(function (p) { if (p) top = Math.min(top, p.y); });
    pos.forEach(function (p) { if (p) p.y -= top; });
    return byLayer;
  }

  function layers(T, size, succ, pred) {
    // break cycles: a depth-first search drops the edges that go back
    const state = new Uint8Array(T), topo = [], back = new Set();
    for (let s = 0; s < T; s++) {
      if (!size[s] || state[s]) continue;
      const stack = [[s, Array.from(succ[s].keys()), 0]];
      state[s] = 1;
      while (stack.length) {
        const top = stack[stack.length - 1];
        if (top[2] < top[1].length) {
          const v = top[1][top[2]++];
          if (state[v] === 1) back.add(top[0] + ">" + v);
          else if (!state[v]) { state[v] = 1; stack.push([v, Array.from(succ[v].keys()), 0]); }
        } else { state[top[0]] = 2; topo.push(top[0]); stack.pop(); }
      }
    }
    topo.reverse();
    // the longest path from a source, then sources pulled next to what they feed
    const layer = new Array(T).fill(0);
    topo.forEach(function (a) {
      succ[a].forEach(function (_, b) {
        if (!back.has(a + ">" + b)) layer[b] = Math.max(layer[b], layer[a] + 1);
      });
    });
    topo.forEach(function (a) {
      if (pred[a].size || !succ[a].size) return;
      let m = Infinity;
      succ[a].forEach(function (_, b) { if (!back.has(a + ">" + b)) m = Math.min(m, layer[b]); });
      if (m !== Infinity) layer[a] = m - 1;
    });
    return layer;
  }

  function order(byLayer, succ, pred) {
    // barycentre sweeps, down and up the layers
    const rank = new Map();
    const number = function () { byLayer.forEach(function (ts) { ts.forEach(function (t, i) { rank.set(t, i); }); }); };
    number();
    const sweep = function (ts, near) {
      const bary = new Map();
      ts.forEach(function (t) {
        let sum = 0, weight = 0;
        near[t].forEach(function (w, o) { if (rank.has(o)) { sum += rank.get(o) * w; weight += w; } });
        bary.set(t, weight ? sum / weight : rank.get(t));
      });
      ts.sort(function (a, b) { return bary.get(a) - bary.get(b) || rank.get(a) - rank.get(b); });
      ts.forEach(function (t, i) { rank.set(t, i); });
    };
    for (let round = 0; round < 6; round++) {
      for (let l = 1; l < byLayer.length; l++) sweep(byLayer[l], pred);
      for (let l = byLayer.length - 2; l >= 0; l--) sweep(byLayer[l], succ);
    }
  }

  // per table, [other table, how far below the other's top this one's top
  // would be for their columns to come level] for each edge, on either side
  function rowLinks(size) {
    const pred = [], succ = [];
    for (let t = 0; t < D.tables.length; t++) { pred.push([]); succ.push([]); }
    const offset = function (n) {
      const t = nodeTable[n];
      return collapsed.has(t) ? HEAD / 2 : HEAD + (n - tableFirst[t]) * ROW + ROW / 2;
    };
    D.edges.forEach(function (e) {
      const a = nodeTable[e[0]], b = nodeTable[e[1]];
      if (a === b || !size[a] || !size[b] || !visibleEdge(e)) return;
      const d = offset(e[0]) - offset(e[1]);
      pred[b].push(a, d);
      succ[a].push(b, -d);
    });
    return { pred: pred, succ: succ };
  }

  function place(ts, near) {
    // each box's wish: the mean of what its edges to the other side ask for;
    // the nearest heights to the wishes that keep the order and the gaps come
    // from pooling adjacent violators (isotonic regression)
    const wish = [], shift = [];
    let offset = 0;
    ts.forEach(function (t) {
      const links = near[t];
      let sum = 0, count = 0;
      for (let i = 0; i < links.length; i += 2) {
        const o = pos[links[i]];
        if (o.x === pos[t].x) continue;
        sum += o.y + links[i + 1];
        count++;
      }
      shift.push(offset);
      wish.push((count ? sum / count : pos[t].y) - offset);
      offset += pos[t].h + GAP_Y;
    });
    const blocks = [];   // [mean, weight, size]
    wish.forEach(function (w) {
      blocks.push([w, 1, 1]);
      while (blocks.length > 1 && blocks[blocks.length - 2][0] > blocks[blocks.length - 1][0]) {
        const b = blocks.pop(), a = blocks[blocks.length - 1];
        a[0] = (a[0] * a[1] + b[0] * b[1]) / (a[1] + b[1]);
        a[1] += b[1];
        a[2] += b[2];
      }
    });
    let i = 0;
    blocks.forEach(function (b) {
      for (let j = 0; j < b[2]; j++, i++) pos[ts[i]].y = b[0] + shift[i];
    });
  }

  // ---- drawing ----
  const svg = document.getElementById("graph");
  const world = document.getElementById("world");
  const edgesG = document.getElementById("edges");
  const tablesG = document.getElementById("tables");
  const litG = document.getElementById("lit");

  function esc(text) {
    return String(text).replace(/[&<>"']/g, function (c) {
      return { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" }[c];
    });
  }

  // where a column's edges start (right side) and end (left side)
  function anchor(n, right) {
    const t = nodeTable[n], p = pos[t];
    const y = collapsed.has(t) ? p.y + HEAD / 2 : p.y + HEAD + (n - tableFirst[t]) * ROW + ROW / 2;
    return [right ? p.x + p.w : p.x, y];
  }

  function draw() {
    layout();
    const parts = [];
    for (let t = 0; t < D.tables.length; t++) {
      const p = pos[t];
      if (!p) continue;
      const tab = D.tables[t], closed = collapsed.has(t);
      parts.push('<g class="tbl ', tab[2], '" data-t="', t, '" transform="translate(', p.x, ",", Math.round(p.y), ')">',
        '<rect class="shade" rx="6" x="1" y="2" width="', p.w, '" height="', p.h, '"/>',
        '<rect class="box" rx="6" width="', p.w, '" height="', p.h, '"/>',
        '<path class="hdr" d="M0 6a6 6 0 0 1 6-6h', p.w - 12, 'a6 6 0 0 1 6 6v', HEAD - 6, "h-", p.w, 'z"/>',
        '<text class="tog" data-tog="', t, '" x="8" y="17">', closed ? "\u25B8" : "\u25BE", "</text>",
        '<text class="tname" data-tt="', t, '" x="22" y="17">', esc(tab[0]), "<title>", esc(tab[0]),
        " \u2014 ", tab[2], ", ", tab[3].length, " columns</title></text>");
      if (closed) {
        parts.push('<text class="count" x="', PAD, '" y="', HEAD + 14, '">', tab[3].length, " columns</text>");
      } else {
        for (let i = 0; i < tab[3].length; i++) {
          const n = tableFirst[t] + i;
          parts.push('<g class="col', isEvery(n) ? " every" : "", '" data-n="', n, '" transform="translate(0,',
            HEAD + i * ROW, ')"><rect x="1" width="', p.w - 2, '" height="', ROW, '"/><text x="', PAD, '" y="14">',
            esc(label(n)), "</text></g>");
        }
      }
      parts.push("</g>");
    }
    tablesG.innerHTML = parts.join("");
    // one path per edge still to be seen; the edges of a collapsed table share theirs
    const paths = [], seen = new Map();
    edgeDrawn = new Array(D.edges.length).fill(-1);
    D.edges.forEach(function (e, k) {
      if (!visibleEdge(e)) return;
      const a = anchor(e[0], true), b = anchor(e[1], false);
      const key = a[0] + "," + a[1] + ">" + b[0] + "," + b[1] + ":" + e[2] + ":" + e[3];
      let i = seen.get(key);
      if (i === undefined) {
        i = paths.length;
        seen.set(key, i);
        const dx = Math.max(40, Math.abs(b[0] - a[0]) / 2);
        paths.push('<path class="e ' + (e[2] ? "i" : "d") + '" data-k="' + k + '" stroke="' + subtypeColour[e[3]] +
          '" d="M' + a[0] + " " + a[1] + "C" + (a[0] + dx) + " " + a[1] + " " + (b[0] - dx) + " " + b[1] + " " +
          b[0] + " " + b[1] + '"/>');
      }
      edgeDrawn[k] = i;
    });
    edgesG.innerHTML = paths.join("");
    colEls = new Array(N).fill(null);
    tablesG.querySelectorAll(".col").forEach(function (el) { colEls[+el.dataset.n] = el; });
    tableEls = new Array(D.tables.length).fill(null);
    tablesG.querySelectorAll(".tbl").forEach(function (el) { tableEls[+el.dataset.t] = el; });
    pathEls = Array.prototype.slice.call(edgesG.children);
    const shownCols = colEls.filter(Boolean).length;
    document.getElementById("stats").textContent = D.tables.length + " tables \u00b7 " + N + " columns \u00b7 " +
      D.edges.length + " edges" + (shownCols < N ? " \u00b7 " + shownCols + " columns shown" : "");
    if (selection) highlight(selection.nodes, selection.table); else clearMarks();
  }

  // ---- lineage of the selection: upstream and downstream ----
  function reach(start) {
    // what feeds the start columns, and what they feed; as `--trace` does, what
    // shapes every column of a table feeds each of its columns
    const lit = new Set(start), edges = new Set();
    const walk = function (up) {
      const seen = new Set(start), queue = start.slice();
      while (queue.length) {
        const n = queue.pop();
        let ks = up ? inEdges[n] : outEdges[n];
        if (up && !isEvery(n) && everyOf[nodeTable[n]] >= 0) ks = ks.concat(inEdges[everyOf[nodeTable[n]]]);
        ks.forEach(function (k) {
          const e = D.edges[k];
          if (!visibleEdge(e)) return;
          edges.add(k);
          const m = up ? e[0] : e[1];
          if (!seen.has(m)) { seen.add(m); lit.add(m); queue.push(m); }
        });
      }
    };
    walk(true);
    walk(false);
    return { nodes: lit, edges: edges };
  }

  // A selection draws over the graph: a veil that turns the rest pale, and
  // above it copies of the lit edges and of the tables they touch, with their
  // lit columns marked. The graph itself is not restyled: quick for
  // thousands of columns.
  let litTables = new Set();
  function highlight(start, table) {
    const r = reach(start);
    litTables = new Set();
    r.nodes.forEach(function (n) { if (pos[nodeTable[n]]) litTables.add(nodeTable[n]); });
    if (table !== undefined && pos[table]) litTables.add(table);
    const chosen = new Set(start), parts = ['<rect class="veil" x="-1e6" y="-1e6" width="2e6" height="2e6"/>'];
    const copies = new Set();
    r.edges.forEach(function (k) { if (edgeDrawn[k] >= 0) copies.add(edgeDrawn[k]); });
    copies.forEach(function (i) { parts.push(pathEls[i].outerHTML); });
    litTables.forEach(function (t) {
      const copy = tableEls[t].cloneNode(true);
      copy.classList.add("lit");
      if (t === table) copy.classList.add("found");
      copy.querySelectorAll(".col").forEach(function (el) {
        const n = +el.dataset.n;
        el.classList.add(chosen.has(n) ? "sel" : r.nodes.has(n) ? "lit" : "pale");
        if (chosen.has(n)) el.classList.add("lit");
      });
      parts.push(copy.outerHTML);
    });
    litG.innerHTML = parts.join("");
    return r;
  }

  function clearMarks() {
    litTables = new Set();
    litG.textContent = "";
  }

  function selectColumn(n) {
    const t = nodeTable[n];
    let again = false;
    if (hiddenSchemas.has(D.tables[t][1])) { hiddenSchemas.delete(D.tables[t][1]); again = true; schemaBoxes(); }
    if (collapsed.has(t)) { collapsed.delete(t); again = true; }
    selection = { nodes: [n] };
    if (again) draw();
    const r = highlight([n]);
    showColumn(n, r);
    centre(t);
  }

  function selectTable(t) {
    if (hiddenSchemas.has(D.tables[t][1])) { hiddenSchemas.delete(D.tables[t][1]); schemaBoxes(); draw(); }
    const nodes = [];
    for (let n = tableFirst[t]; n < tableFirst[t] + D.tables[t][3].length; n++) nodes.push(n);
    selection = { nodes: nodes, table: t };
    const r = highlight(nodes, t);
    showTable(t, r);
    centre(t);
  }

  function clearSelection() {
    selection = null;
    clearMarks();
    document.getElementById("panel").hidden = true;
  }

  // ---- the details panel ----
  function how(e) {
    return '<span class="how" style="background:' + subtypeColour[e[3]] + '">' + D.types[e[2]] + " " +
      esc(D.subtypes[e[3]]) + "</span>";
  }
  function statementsOf(e) {
    return e[4].map(function (s) {
      const st = D.statements[s];
      return '<div class="where">' + esc(st[0]) + "</div>" + (st[1] ? "<pre>" + esc(st[1]) + "</pre>" : "");
    }).join("");
  }
  function edgeItems(ks, up) {
    if (!ks.length) return "<li class=\"where\">none</li>";
    return ks.map(function (k) {
      const e = D.edges[k], other = up ? e[0] : e[1];
      return '<li><a data-go="' + other + '">' + esc(fullName(other)) + "</a>" + how(e) + statementsOf(e) + "</li>";
    }).join("");
  }
  function showColumn(n, r) {
    const t = nodeTable[n];
    let ins = inEdges[n];
    if (!isEvery(n) && everyOf[t] >= 0) ins = ins.concat(inEdges[everyOf[t]]);
    document.getElementById("details").innerHTML =
      "<h2>" + esc(D.tables[t][0]) + "." + esc(label(n)) + "</h2>" +
      '<div class="sum">' + (r.nodes.size - 1) + " columns upstream and downstream</div>" +
      "<h3>Fed by</h3><ul>" + edgeItems(ins, true) + "</ul>" +
      "<h3>Feeds</h3><ul>" + edgeItems(outEdges[n], false) + "</ul>";
    document.getElementById("panel").hidden = false;
  }
  function showTable(t, r) {
    const tab = D.tables[t];
    document.getElementById("details").innerHTML =
      "<h2>" + esc(tab[0]) + "</h2>" + '<div class="sum">' + tab[2] + " \u00b7 " + tab[3].length + " columns \u00b7 " +
      (r.nodes.size - tab[3].length) + " columns upstream and downstream</div><h3>Columns</h3><ul>" +
      tab[3].map(function (_, i) {
        const n = tableFirst[t] + i;
        return '<li><a data-go="' + n + '">' + esc(label(n)) + "</a></li>";
      }).join("") + "</ul>";
    document.getElementById("panel").hidden = false;
  }
  function showEdge(k) {
    const e = D.edges[k];
    document.getElementById("details").innerHTML =
      "<h2>" + esc(fullName(e[0])) + " \u2192 " + esc(fullName(e[1])) + "</h2>" + how(e) +
      "<h3>Made by</h3>" + statementsOf(e);
    document.getElementById("panel").hidden = false;
  }

  // ---- pan and zoom ----
  let view = { x: 20, y: 20, k: 1 };
  function applyView() {
    world.setAttribute("transform", "translate(" + view.x + "," + view.y + ") scale(" + view.k + ")");
    // far out, the columns' names are too small to read: not drawn, which keeps large graphs quick
    const far = view.k < 0.35;
    if (far !== svg.classList.contains("far")) svg.classList.toggle("far", far);
  }
  function bounds() {
    let x1 = Infinity, y1 = Infinity, x2 = -Infinity, y2 = -Infinity;
    pos.forEach(function (p) {
      if (!p) return;
      x1 = Math.min(x1, p.x); y1 = Math.min(y1, p.y); x2 = Math.max(x2, p.x + p.w); y2 = Math.max(y2, p.y + p.h);
    });
    return x1 === Infinity ? [0, 0, 1, 1] : [x1, y1, x2, y2];
  }
  function fit() {
    const b = bounds(), W = svg.clientWidth || 1200, H = svg.clientHeight || 800;
    // the whole graph where it fits at a readable size; else its top, as wide as fits
    const k = Math.min(1.2, (W - 40) / (b[2] - b[0] || 1), (H - 40) / (b[3] - b[1] || 1));
    view.k = Math.max(k, Math.min(0.6, (W - 40) / (b[2] - b[0] || 1)), 0.05);
    view.x = Math.max(20, (W - (b[2] - b[0]) * view.k) / 2) - b[0] * view.k;
    view.y = 20 - b[1] * view.k;
    applyView();
  }
  // bring the lit tables into view: moved if they fit, zoomed out (no
  // further than readable) if they do not
  function centre(t) {
    const lit = [];
    litTables.forEach(function (i) { lit.push(i); });
    if (!lit.length && pos[t]) lit.push(t);
    if (!lit.length) return;
    let x1 = Infinity, y1 = Infinity, x2 = -Infinity, y2 = -Infinity;
    lit.forEach(function (i) {
      const p = pos[i];
      x1 = Math.min(x1, p.x); y1 = Math.min(y1, p.y); x2 = Math.max(x2, p.x + p.w); y2 = Math.max(y2, p.y + p.h);
    });
    const W = svg.clientWidth, H = svg.clientHeight, M = 30;
    const k = Math.max(0.3, Math.min(view.k, (W - 2 * M) / (x2 - x1), (H - 2 * M) / (y2 - y1)));
    const inside = view.x + x1 * k >= 0 && view.y + y1 * k >= 0 && view.x + x2 * k <= W && view.y + y2 * k <= H;
    if (k === view.k && inside) return;
    view.k = k;
    view.x = (W - (x2 - x1) * k) / 2 - x1 * k;
    view.y = Math.max(M - y1 * k, (H - (y2 - y1) * k) / 2 - y1 * k);
    applyView();
  }

  // the wheel scrolls; with Ctrl (and a touchpad's pinch) it zooms
  function zoomAt(mx, my, k) {
    k = Math.min(4, Math.max(0.03, k));
    view.x = mx - (mx - view.x) * k / view.k;
    view.y = my - (my - view.y) * k / view.k;
    view.k = k;
    applyView();
  }
  svg.addEventListener("wheel", function (ev) {
    ev.preventDefault();
    if (ev.ctrlKey || ev.metaKey) {
      const r = svg.getBoundingClientRect();
      zoomAt(ev.clientX - r.left, ev.clientY - r.top, view.k * Math.exp(-ev.deltaY * 0.01));
    } else {
      view.x -= ev.shiftKey ? ev.deltaY : ev.deltaX;
      view.y -= ev.shiftKey ? 0 : ev.deltaY;
      applyView();
    }
  }, { passive: false });
  let drag = null;
  svg.addEventListener("mousedown", function (ev) {
    if (ev.target.closest(".col, .tname, .tog, .e")) return;
    drag = { x: ev.clientX, y: ev.clientY, vx: view.x, vy: view.y, moved: false };
    svg.classList.add("panning");
  });
  window.addEventListener("mousemove", function (ev) {
    if (!drag) return;
    if (Math.abs(ev.clientX - drag.x) + Math.abs(ev.clientY - drag.y) > 3) drag.moved = true;
    view.x = drag.vx + ev.clientX - drag.x;
    view.y = drag.vy + ev.clientY - drag.y;
    applyView();
  });
  window.addEventListener("mouseup", function () {
    if (drag && !drag.moved && selection) clearSelection();
    drag = null;
    svg.classList.remove("panning");
  });

  // ---- clicks and hovers on the graph ----
  svg.addEventListener("click", function (ev) {
    const tog = ev.target.closest("[data-tog]");
    if (tog) {
      const t = +tog.dataset.tog;
      if (collapsed.has(t)) collapsed.delete(t); else collapsed.add(t);
      draw();
      return;
    }
    const col = ev.target.closest(".col");
    if (col) { selectColumn(+col.dataset.n); return; }
    const tn = ev.target.closest("[data-tt]");
    if (tn) { selectTable(+tn.dataset.tt); return; }
    const path = ev.target.closest(".e");
    if (path) showEdge(+path.dataset.k);
  });
  const tip = document.getElementById("tip");
  svg.addEventListener("mouseover", function (ev) {
    const path = ev.target.closest(".e");
    if (!path) { tip.hidden = true; return; }
    const e = D.edges[+path.dataset.k];
    const st = D.statements[e[4][0]];
    tip.innerHTML = "<b>" + esc(fullName(e[0])) + " \u2192 " + esc(fullName(e[1])) + "</b><br>" + D.types[e[2]] + " " +
      esc(D.subtypes[e[3]]) + " \u00b7 " + esc(st[0]) + (e[4].length > 1 ? " and " + (e[4].length - 1) + " more" : "") +
      (st[1] ? "<pre>" + esc(st[1].split("\n").slice(0, 14).join("\n")) + "</pre>" : "");
    tip.hidden = false;
  });
  svg.addEventListener("mousemove", function (ev) {
    if (tip.hidden) return;
    const r = document.getElementById("view").getBoundingClientRect();
    tip.style.left = Math.min(ev.clientX - r.left + 14, r.width - 540) + "px";
    tip.style.top = (ev.clientY - r.top + 14) + "px";
  });
  svg.addEventListener("mouseleave", function () { tip.hidden = true; });
  document.getElementById("details").addEventListener("click", function (ev) {
    const a = ev.target.closest("[data-go]");
    if (a) selectColumn(+a.dataset.go);
  });
  document.getElementById("close").addEventListener("click", clearSelection);

  // ---- search ----
  const search = document.getElementById("search"), results = document.getElementById("results");
  const lowTables = D.tables.map(function (t) { return t[0].toLowerCase(); });
  const lowColumns = nodeName.map(function (c, n) { return (D.tables[nodeTable[n]][0] + "." + c).toLowerCase(); });
  let active = 0;
  function find(q) {
    q = q.trim().toLowerCase();
    if (!q) return [];
    const out = [];
    const score = function (text) { return text === q || text.endsWith("." + q) ? 0 : text.indexOf(q) >= 0 ? 1 : 2; };
    lowTables.forEach(function (text, t) { const s = score(text); if (s < 2) out.push([s, 0, "t", t]); });
    lowColumns.forEach(function (text, n) {
      if (isEvery(n)) return;
      const s = score(text);
      if (s < 2) out.push([s, 1, "n", n]);
    });
    out.sort(function (a, b) { return a[0] - b[0] || a[1] - b[1]; });
    return out.slice(0, 50);
  }
  function showResults() {
    const found = find(search.value);
    active = 0;
    results.innerHTML = found.map(function (f, i) {
      const text = f[2] === "t" ? D.tables[f[3]][0] : fullName(f[3]);
      return '<li role="option" class="' + (i === 0 ? "active" : "") + '" data-' + f[2] + '="' + f[3] + '">' + esc(text) +
        "<small>" + (f[2] === "t" ? "table" : "column") + "</small></li>";
    }).join("") || '<li class="none">no table or column matches</li>';
    results.hidden = !search.value.trim();
  }
  function choose(li) {
    if (!li || li.classList.contains("none")) return;
    results.hidden = true;
    if (li.dataset.t !== undefined) selectTable(+li.dataset.t); else selectColumn(+li.dataset.n);
  }
  search.addEventListener("input", showResults);
  search.addEventListener("keydown", function (ev) {
    const items = results.querySelectorAll("li[data-t], li[data-n]");
    if (ev.key === "ArrowDown" || ev.key === "ArrowUp") {
      ev.preventDefault();
      if (!items.length) return;
      items[active].classList.remove("active");
      active = (active + (ev.key === "ArrowDown" ? 1 : items.length - 1)) % items.length;
      items[active].classList.add("active");
      items[active].scrollIntoView({ block: "nearest" });
    } else if (ev.key === "Enter") {
      choose(items[active]);
    } else if (ev.key === "Escape") {
      results.hidden = true;
    }
  });
  results.addEventListener("mousedown", function (ev) { ev.preventDefault(); choose(ev.target.closest("li")); });
  search.addEventListener("blur", function () { results.hidden = true; });

  // ---- filters and the legend ----
  const schemas = Array.from(new Set(D.tables.map(function (t) { return t[1]; }))).sort();
  function schemaBoxes() {
    document.getElementById("schema-list").innerHTML = schemas.map(function (s, i) {
      return '<label><input type="checkbox" data-s="' + i + '"' + (hiddenSchemas.has(s) ? "" : " checked") + "> " +
        esc(s) + "</label>";
    }).join("");
  }
  document.getElementById("schema-list").addEventListener("change", function (ev) {
    const s = schemas[+ev.target.dataset.s];
    if (ev.target.checked) hiddenSchemas.delete(s); else hiddenSchemas.add(s);
    draw();
  });
  function legend() {
    const line = function (colour, dashed) {
      return '<svg viewBox="0 0 30 10"><line x1="0" y1="5" x2="30" y2="5" stroke="' + colour + '" stroke-width="2"' +
        (dashed ? ' stroke-dasharray="5 4"' : "") + "/></svg>";
    };
    document.getElementById("legend").innerHTML =
      '<span class="chip" title="DIRECT: the value comes from the source">' + line("#555", false) + "DIRECT</span>" +
      '<span class="chip" title="INDIRECT: the source shapes the result">' + line("#555", true) + "INDIRECT</span>" +
      '<span class="sep"></span>' +
      D.subtypes.map(function (s, i) {
        const dashed = D.edges.some(function (e) { return e[3] === i && e[2] === 1; }) &&
          !D.edges.some(function (e) { return e[3] === i && e[2] === 0; });
        return '<span class="chip subtype' + (hiddenSubtypes.has(i) ? " off" : "") + '" data-st="' + i +
          '" title="show or hide ' + esc(s) + ' edges">' + line(subtypeColour[i], dashed) + esc(s) + "</span>";
      }).join("") +
      '<span class="sep"></span><span><i class="kind" style="background:var(--source)"></i>source table</span>' +
      '<span><i class="kind" style="background:var(--target)"></i>written by a statement</span>' +
      '<span><i class="kind" style="background:var(--query)"></i>query</span>' +
      '<span class="hint">drag or scroll to move \u00b7 Ctrl+scroll or +/\u2212 to zoom \u00b7 / to search</span>';
  }
  document.getElementById("legend").addEventListener("click", function (ev) {
    const chip = ev.target.closest("[data-st]");
    if (!chip) return;
    const i = +chip.dataset.st;
    if (hiddenSubtypes.has(i)) hiddenSubtypes.delete(i); else hiddenSubtypes.add(i);
    chip.classList.toggle("off", hiddenSubtypes.has(i));
    draw();
  });
  document.getElementById("collapse-all").addEventListener("click", function () {
    D.tables.forEach(function (_, t) { collapsed.add(t); });
    draw(); fit();
  });
  document.getElementById("expand-all").addEventListener("click", function () { collapsed.clear(); draw(); fit(); });
  document.getElementById("fit").addEventListener("click", fit);
  document.addEventListener("keydown", function (ev) {
    if (ev.key === "Escape" && document.activeElement !== search) clearSelection();
    if (document.activeElement === search) return;
    if (ev.key === "/") { ev.preventDefault(); search.focus(); }
    if (ev.key === "+" || ev.key === "=" || ev.key === "-") {
      zoomAt(svg.clientWidth / 2, svg.clientHeight / 2, view.k * (ev.key === "-" ? 1 / 1.25 : 1.25));
    }
  });

  schemaBoxes();
  legend();
  draw();
  fit();
  // for tests and for scripts that drive the page
  window.keldraLineage = {
    ready: performance.now(),
    select: function (table, column) {
      const q = (table + "." + column).toLowerCase();
      const n = lowColumns.indexOf(q);
      if (n >= 0) selectColumn(n);
      return n;
    },
    lit: function () {
      return Array.prototype.map.call(litG.querySelectorAll(".col.lit"), function (el) { return fullName(+el.dataset.n); });
    },
    positions: function () { return pos; },
    tables: function () { return D.tables.map(function (t) { return t[0]; }); },
    shown: null,   // when the first frame with the graph was painted
  };
  requestAnimationFrame(function () {
    setTimeout(function () { window.keldraLineage.shown = performance.now(); }, 0);
  });
})();
