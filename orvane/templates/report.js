(function () {
  "use strict";
  // Everything shown comes from the JSON block and reaches the page through
  // textContent and setAttribute only: no text is ever parsed as markup.
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var SVG = "http://www.w3.org/2000/svg";
  var BAND_COLORS = { critical: "#b3261e", high: "#e8710a", medium: "#e0b53a", low: "#7cb342", unrated: "#9e9e9e" };
  var PALETTE = ["#2b5fab", "#d1495b", "#00798c", "#edae49", "#66a182", "#8d6a9f", "#30638e",
                 "#c06c84", "#4f772d", "#f28f3b", "#5c415d", "#2e86ab", "#a23b72", "#6c757d"];
  var H = 260, LEFT = 58, RIGHT = 14, TOP = 12, BOTTOM = 34, PH = H - TOP - BOTTOM;

  function node(tag, attrs, text) {
    var element = document.createElementNS(SVG, tag);
    for (var key in attrs) { element.setAttribute(key, String(attrs[key])); }
    if (text !== undefined) { element.textContent = text; }
    return element;
  }

  function html(tag, className, text) {
    var element = document.createElement(tag);
    if (className) { element.className = className; }
    if (text !== undefined && text !== null) { element.textContent = String(text); }
    return element;
  }

  function tip(element, text) { element.appendChild(node("title", {}, text)); return element; }

  function day(stamp) { return stamp ? String(stamp).replace("T", " ").slice(0, 16) : ""; }

  // A scale from 0 with a few round ticks: [top, tick count].
  function niceScale(value) {
    if (!(value > 0)) { return [1, 4]; }
    var rough = value / 5, power = Math.pow(10, Math.floor(Math.log(rough) / Math.LN10));
    var steps = [1, 2, 2.5, 5, 10], step = 10 * power;
    for (var i = 0; i < steps.length; i++) { if (steps[i] * power >= rough) { step = steps[i] * power; break; } }
    var ticks = Math.max(1, Math.ceil(value / step - 1e-9));
    return [step * ticks, ticks];
  }

  function format(value) {
    if (value === 0) { return "0"; }
    if (Math.abs(value) >= 100) { return String(Math.round(value)); }
    if (Math.abs(value) >= 1) { return String(Math.round(value * 10) / 10); }
    return String(parseFloat(value.toPrecision(2)));
  }

  // Axes, grid and labels; returns the scales. `labels` is a list of [index, text].
  function frame(svg, count, top, labels, emptyText, centred) {
    var W = svg.viewBox.baseVal.width || 900, PW = W - LEFT - RIGHT;
    var scale = niceScale(top), max = scale[0], ticks = scale[1];
    for (var i = 0; i <= ticks; i++) {
      var y = TOP + PH - PH * i / ticks;
      svg.appendChild(node("line", { "class": i ? "grid" : "axis", x1: LEFT, x2: W - RIGHT, y1: y, y2: y }));
      svg.appendChild(node("text", { x: LEFT - 6, y: y + 4, "text-anchor": "end" }, format(max * i / ticks)));
    }
    svg.appendChild(node("line", { "class": "axis", x1: LEFT, x2: LEFT, y1: TOP, y2: TOP + PH }));
    var step = count > 0 ? PW / count : PW;
    labels.forEach(function (label) {
      var x = LEFT + step * (label[0] + 0.5);
      var anchor = centred ? "middle" : (label[0] === 0 ? "start" : (label[0] === count - 1 ? "end" : "middle"));
      svg.appendChild(node("text", { x: anchor === "start" ? LEFT : (anchor === "end" ? W - RIGHT : x),
                                     y: H - 12, "text-anchor": anchor }, label[1]));
    });
    if (!count) {
      svg.appendChild(node("text", { x: W / 2, y: H / 2, "text-anchor": "middle" }, emptyText || "no cycle recorded yet"));
    }
    return {
      width: W,
      x: function (i) { return LEFT + step * (i + 0.5); },
      y: function (v) { return TOP + PH - PH * Math.min(v, max) / max; },
      step: step
    };
  }

  function timeLabels(count, start, end, prefix) {
    if (!count) { return []; }
    var picks = count === 1 ? [0] : (count === 2 ? [0, 1] : [0, Math.floor((count - 1) / 2), count - 1]);
    return picks.map(function (i) { return [i, prefix(i) + " · " + day(start(i))]; });
  }

  function cycleSpan(point) { return point.from === point.to ? "cycle " + point.from : "cycles " + point.from + "–" + point.to; }

  function legend(id, entries) {
    var box = document.getElementById(id);
    entries.forEach(function (entry) {
      var item = html("span", "item");
      var swatch = html("span", "swatch");
      swatch.style.background = entry[1];
      item.appendChild(swatch);
      item.appendChild(document.createTextNode(entry[0]));
      box.appendChild(item);
    });
  }

  function drawFindings() {
    var svg = document.getElementById("chart-findings");
    var chart = data.findings, points = chart.points;
    var top = 0;
    points.forEach(function (p) { top = Math.max(top, p.values.reduce(function (a, b) { return a + b; }, 0)); });
    var scale = frame(svg, points.length, top, timeLabels(points.length,
      function (i) { return points[i].t0; }, null, function (i) { return cycleSpan(points[i]); }));
    var width = Math.max(1, scale.step * 0.8);
    points.forEach(function (p, i) {
      var total = 0, group = node("g", { "class": "point", "data-from": p.from, "data-to": p.to });
      var parts = [];
      p.values.forEach(function (value, b) {
        if (!value) { return; }
        var name = chart.bands[b];
        var y0 = scale.y(total), y1 = scale.y(total + value);
        total += value;
        group.appendChild(node("rect", { x: scale.x(i) - width / 2, y: y1, width: width, height: Math.max(0, y0 - y1),
                                         fill: BAND_COLORS[name] || "#777", "data-band": name, "data-value": value }));
        parts.push(value + " " + name);
      });
      group.setAttribute("data-total", String(total));
      tip(group, cycleSpan(p) + " (" + day(p.t0) + (p.t1 !== p.t0 ? " to " + day(p.t1) : "") + "): " +
          (parts.length ? parts.join(", ") : "no findings"));
      svg.appendChild(group);
    });
    legend("legend-findings", chart.bands.filter(function (name) {
      return points.some(function (p) { return p.values[chart.bands.indexOf(name)] > 0; });
    }).map(function (name) { return [name, BAND_COLORS[name]]; }));
  }

  function drawWeights() {
    var svg = document.getElementById("chart-weights");
    var chart = data.weights, cycles = chart.cycles;
    var top = 0;
    chart.series.forEach(function (s) { s.values.forEach(function (v) { if (v !== null) { top = Math.max(top, v); } }); });
    var scale = frame(svg, cycles.length, top, timeLabels(cycles.length,
      function (i) { return chart.times[i]; }, null, function (i) { return "cycle " + cycles[i]; }));
    var entries = [];
    chart.series.forEach(function (s, index) {
      var color = PALETTE[index % PALETTE.length];
      var group = node("g", { "class": "series", "data-name": s.name });
      var run = [];
      var flush = function () {
        if (run.length > 1) { group.appendChild(tip(node("polyline", { points: run.join(" "), stroke: color }), s.name)); }
        run = [];
      };
      s.values.forEach(function (v, i) {
        if (v === null) { flush(); return; }
        var x = scale.x(i), y = scale.y(v);
        run.push(x.toFixed(1) + "," + y.toFixed(1));
        group.appendChild(tip(node("circle", { cx: x.toFixed(1), cy: y.toFixed(1), r: 2, fill: color,
                                               "data-cycle": cycles[i], "data-value": v }),
                              s.name + " after cycle " + cycles[i] + ": " + v.toFixed(3)));
      });
      flush();
      svg.appendChild(group);
      entries.push([s.name, color]);
    });
    legend("legend-weights", entries);
    if (chart.shown < chart.questions) {
      document.getElementById("legend-weights").appendChild(
        html("span", "note", "the " + chart.shown + " most weighted of " + chart.questions + " questions"));
    }
  }

  function drawAmount(id, key, unit) {
    var svg = document.getElementById(id);
    var points = data.cost.points;
    var top = 0;
    points.forEach(function (p) { top = Math.max(top, p[key]); });
    var scale = frame(svg, points.length, top, timeLabels(points.length,
      function (i) { return points[i].t0; }, null, function (i) { return cycleSpan(points[i]); }));
    var run = [];
    var group = node("g", { "class": "series", "data-name": key });
    points.forEach(function (p, i) {
      var x = scale.x(i), y = scale.y(p[key]);
      run.push(x.toFixed(1) + "," + y.toFixed(1));
      group.appendChild(tip(node("circle", { cx: x.toFixed(1), cy: y.toFixed(1), r: 2, fill: "#2b5fab",
                                             "data-from": p.from, "data-to": p.to, "data-value": p[key] }),
                            cycleSpan(p) + ": " + p[key] + " " + unit + (p.from === p.to ? "" : " a cycle on average")));
    });
    if (run.length > 1) { group.insertBefore(node("polyline", { points: run.join(" "), stroke: "#2b5fab" }), group.firstChild); }
    svg.appendChild(group);
  }

  function drawModes() {
    var svg = document.getElementById("chart-modes");
    var modes = data.modes;
    var measures = [["cycle_count", "cycles", "#2b5fab"], ["findings_count", "findings", "#d1495b"],
                    ["actions_executed", "executed", "#edae49"], ["actions_verified", "verified", "#66a182"]];
    var top = 0;
    modes.forEach(function (m) { measures.forEach(function (k) { top = Math.max(top, m[k[0]]); }); });
    var scale = frame(svg, modes.length, top, modes.map(function (m, i) { return [i, m.mode]; }), null, true);
    var span = Math.min(scale.step * 0.8, 60 * measures.length), width = span / measures.length;
    modes.forEach(function (m, i) {
      var group = node("g", { "class": "point", "data-mode": m.mode });
      measures.forEach(function (k, j) {
        var y = scale.y(m[k[0]]);
        group.appendChild(tip(node("rect", { x: scale.x(i) - span / 2 + j * width, y: y, width: Math.max(1, width - 2),
                                             height: TOP + PH - y, fill: k[2], "data-measure": k[1], "data-value": m[k[0]] }),
                              m.mode + ": " + m[k[0]] + " " + k[1] + " (cost $" + m.cost_usd + ")"));
      });
      svg.appendChild(group);
    });
    legend("legend-modes", measures.map(function (k) { return [k[1], k[2]]; }));
  }

  // -- the findings table ----------------------------------------------------------
  var C = {};
  data.columns.forEach(function (name, i) { C[name] = i; });
  var rows = data.rows;
  var order = { key: "time", descending: true };
  var body = document.getElementById("findings-body");
  var search = document.getElementById("search");
  var filters = { band: document.getElementById("filter-band"), category: document.getElementById("filter-category"),
                  question: document.getElementById("filter-question") };

  function options(select, values) {
    values.forEach(function (value) {
      var option = html("option", null, value);
      option.value = value;
      select.appendChild(option);
    });
  }

  function distinct(column) {
    var seen = {};
    rows.forEach(function (row) { seen[row[column]] = true; });
    return Object.keys(seen).sort();
  }

  options(filters.band, data.bands.filter(function (b) { return rows.some(function (r) { return r[C.band] === b; }); }));
  options(filters.category, distinct(C.category));
  options(filters.question, distinct(C.question));

  // The first file:line references an evidence text names, each once.
  var PLACE = /(^|[^\w.:\/-])([\w][\w.\-\/]*:\d+)\b/g;
  function places(text) {
    var found = [], match;
    PLACE.lastIndex = 0;
    while ((match = PLACE.exec(text)) !== null && found.length < 4) {
      if (found.indexOf(match[2]) < 0) { found.push(match[2]); }
    }
    return found;
  }

  function compare(a, b) {
    var key = order.key, x, y;
    if (key === "severity") {
      x = a[C.severity] === null ? -1 : a[C.severity];
      y = b[C.severity] === null ? -1 : b[C.severity];
    } else {
      x = String(a[C[key]]).toLowerCase();
      y = String(b[C[key]]).toLowerCase();
    }
    var result = x < y ? -1 : (x > y ? 1 : 0);
    if (!result && key !== "time") { result = a[C.time] < b[C.time] ? 1 : (a[C.time] > b[C.time] ? -1 : 0); return result; }
    return order.descending ? -result : result;
  }

  function render() {
    var text = search.value.trim().toLowerCase();
    var band = filters.band.value, category = filters.category.value, question = filters.question.value;
    var shown = rows.filter(function (row) {
      if (band && row[C.band] !== band) { return false; }
      if (category && row[C.category] !== category) { return false; }
      if (question && row[C.question] !== question) { return false; }
      if (text) {
        var haystack = [row[C.description], row[C.evidence], row[C.category], row[C.question], row[C.target],
                        row[C.action], row[C.verification]].join("\n").toLowerCase();
        if (haystack.indexOf(text) < 0) { return false; }
      }
      return true;
    });
    shown.sort(compare);
    var fragment = document.createDocumentFragment();
    shown.forEach(function (row) {
      var tr = html("tr", "band-" + (data.bands.indexOf(row[C.band]) >= 0 ? row[C.band] : "unrated"));
      tr.appendChild(html("td", "time", day(row[C.time])));
      var severity = html("td", "severity");
      severity.appendChild(html("span", "sev " + (BAND_COLORS[row[C.band]] ? row[C.band] : "unrated"),
                                row[C.severity] === null ? "?" : row[C.severity].toFixed(2)));
      tr.appendChild(severity);
      tr.appendChild(html("td", "category", row[C.category]));
      tr.appendChild(html("td", "question", row[C.question]));
      tr.appendChild(html("td", "description", row[C.description]));
      var evidence = html("td", "evidence");
      var where = places(row[C.evidence]);
      if (where.length) { evidence.appendChild(html("div", "where", where.join("\n"))); }
      var room = where.length ? 90 : 200;
      var detail = row[C.evidence].length > room ? row[C.evidence].slice(0, room - 1) + "…" : row[C.evidence];
      if (detail && !(where.length === 1 && detail === where[0])) { evidence.appendChild(html("div", "detail", detail)); }
      evidence.title = row[C.evidence] + (row[C.target] ? "\n\ntarget: " + row[C.target] : "");
      tr.appendChild(evidence);
      tr.appendChild(html("td", "seen", row[C.seen] > 1 ? "again (" + row[C.seen] + "×)" : "first"));
      tr.appendChild(html("td", "action", row[C.action] || "-"));
      tr.appendChild(html("td", "verification", row[C.verification] || "-"));
      fragment.appendChild(tr);
    });
    body.textContent = "";
    body.appendChild(fragment);
    var status = shown.length + " of " + rows.length + " findings shown";
    if (data.total > rows.length) {
      status += "; the table holds the newest " + data.limit.toLocaleString("en") + " of " +
                data.total.toLocaleString("en") + " findings";
    }
    document.getElementById("table-status").textContent = status + ".";
    Array.prototype.forEach.call(document.querySelectorAll("th button[data-sort]"), function (button) {
      var key = button.getAttribute("data-sort");
      button.className = key === order.key ? (order.descending ? "desc" : "asc") : "";
    });
  }

  Array.prototype.forEach.call(document.querySelectorAll("th button[data-sort]"), function (button) {
    button.addEventListener("click", function () {
      var key = button.getAttribute("data-sort");
      if (order.key === key) { order.descending = !order.descending; }
      else { order.key = key; order.descending = key === "time" || key === "severity"; }
      render();
    });
  });
  search.addEventListener("input", render);
  Object.keys(filters).forEach(function (name) { filters[name].addEventListener("change", render); });

  drawFindings();
  drawWeights();
  drawAmount("chart-cost", "cost", "USD");
  drawAmount("chart-duration", "duration", "s");
  drawModes();
  render();
  document.documentElement.setAttribute("data-ready", "true");
})();
