// Charts of per-sample series on uPlot, shared by the agent's operator page and the server's pages.
// Exposes window.PerfCharts; needs uPlot (uPlot.iife.min.js) loaded before it.
"use strict";
(function () {
  // Line colours that read on light and dark backgrounds alike; runs and series also differ by dash, so
  // they stay apart without colour.
  const palette = ["#2f7ed8", "#e8710a", "#1e9e5a", "#a142f4", "#d6336c", "#0f9fb4"];
  const dashes = [[], [8, 4], [2, 3], [12, 4, 2, 4]];
  const darkQuery = window.matchMedia("(prefers-color-scheme: dark)");
  const plots = new Set();

  // Axis and grid colours follow the page's colour scheme; the axes read them at every redraw.
  let theme;
  function readTheme() {
    const style = getComputedStyle(document.documentElement);
    const value = (name, fallback) => style.getPropertyValue(name).trim() || fallback;
    theme = { axis: value("--chart-axis", "#555"), grid: value("--chart-grid", "rgba(128,128,128,0.25)"),
      marker: value("--chart-marker", "#be123c"), markerBack: value("--chart-marker-back", "rgba(255,255,255,0.85)") };
  }
  readTheme();
  darkQuery.addEventListener("change", () => {
    readTheme();
    for (const plot of plots) plot.redraw(false, true);
  });

  function number(value, digits = 1) {
    if (value === null || value === undefined || !Number.isFinite(value)) return "–";
    return value.toLocaleString(undefined, { minimumFractionDigits: digits, maximumFractionDigits: digits });
  }

  // A short text for screen readers and for readers who prefer figures to lines.
  function describe(label, unit, values, digits = 1) {
    let count = 0, sum = 0, max = -Infinity, maxAt = 0, last = null;
    values.forEach((value, index) => {
      if (value === null || value === undefined) return;
      count++;
      sum += value;
      last = value;
      if (value > max) { max = value; maxAt = index + 1; }
    });
    if (count === 0) return label + ": no samples.";
    const u = unit ? " " + unit : "";
    return `${label}: ${count} sample${count === 1 ? "" : "s"}, average ${number(sum / count, digits)}${u}, ` +
      `maximum ${number(max, digits)}${u} at sample ${maxAt}, latest ${number(last, digits)}${u}.`;
  }

  // Charts sharing a group key share the cursor and the zoomed sample range.
  const groups = new Map();
  function joinGroup(key, plot) {
    if (!groups.has(key)) groups.set(key, new Set());
    groups.get(key).add(plot);
  }
  function zoomOthers(key, source) {
    const { min, max } = source.scales.x;
    if (min === null || max === null) return;
    for (const plot of groups.get(key) || []) {
      if (plot !== source && (plot.scales.x.min !== min || plot.scales.x.max !== max)) plot.setScale("x", { min, max });
    }
  }

  // How an x axis of sample numbers reads: the sample number, the clock time of the sample (`firstSample`,
  // ms since 1970, dates sample 1; samples are a second apart) or the time elapsed since sample 1.
  const sampleSteps = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000];
  const timeSteps = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400, 28800];
  const two = (n) => String(n).padStart(2, "0");
  function elapsedText(seconds) {
    const h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60), s = seconds % 60;
    return h ? `${h}:${two(m)}:${two(s)}` : `${m}:${two(s)}`;
  }
  const clockText = (ms) => new Date(ms).toLocaleTimeString(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit", hour12: false });
  // `xZero` is a sample whose time is a whole minute, so that ticks fall on round times.
  function xAxis(mode, firstSample) {
    if (mode === "clock") {
      return { xLabel: "Time", xValue: (x) => clockText(firstSample + (x - 1) * 1000), xSteps: timeSteps,
        xZero: 1 - Math.round(firstSample / 1000) % 60 };
    }
    if (mode === "elapsed") return { xLabel: "Elapsed", xValue: (x) => elapsedText(x - 1), xSteps: timeSteps, xZero: 1 };
    return {};
  }
  const roundSplits = (zero) => (u, axis, min, max, step) => {
    const splits = [];
    for (let x = zero + Math.ceil((min - zero) / step) * step; x <= max; x += step) splits.push(x);
    return splits;
  };

  // Draws the markers ({x, label}) as dashed vertical lines, each label in a box at the top, in the first of
  // three rows where it does not cover another; shortened to fit a narrow chart.
  function drawMarkers(u, markers) {
    if (!markers || markers.length === 0) return;
    const ctx = u.ctx, ratio = uPlot.pxRatio, { left, top, width, height } = u.bbox;
    const size = Math.round(11 * ratio), pad = Math.round(3 * ratio), rowHeight = size + 2 * pad + Math.round(2 * ratio);
    const longest = width / ratio < 420 ? 12 : 24;
    const rowEnds = [-Infinity, -Infinity, -Infinity];
    ctx.save();
    ctx.font = `${size}px system-ui, sans-serif`;
    ctx.textBaseline = "top";
    ctx.textAlign = "left";
    for (const marker of markers) {
      const x = Math.round(u.valToPos(marker.x, "x", true));
      if (x < left || x > left + width) continue;
      ctx.strokeStyle = theme.marker;
      ctx.lineWidth = Math.max(1, Math.round(1.5 * ratio));
      ctx.setLineDash([4 * ratio, 3 * ratio]);
      ctx.beginPath();
      ctx.moveTo(x + 0.5, top);
      ctx.lineTo(x + 0.5, top + height);
      ctx.stroke();
      const text = marker.label.length > longest ? marker.label.slice(0, longest - 1) + "…" : marker.label;
      const boxWidth = ctx.measureText(text).width + 2 * pad;
      // Beside the line, or left of it near the right edge.
      const boxLeft = Math.min(x + 2 * ratio, left + width - boxWidth);
      const row = rowEnds.findIndex((end) => end < boxLeft);
      if (row < 0) continue;  // the line alone: the list beside the charts names it
      rowEnds[row] = boxLeft + boxWidth + 2 * ratio;
      const boxTop = top + row * rowHeight;
      ctx.setLineDash([]);
      ctx.fillStyle = theme.markerBack;
      ctx.fillRect(boxLeft, boxTop, boxWidth, size + 2 * pad);
      ctx.strokeRect(boxLeft, boxTop, boxWidth, size + 2 * pad);
      ctx.fillStyle = theme.axis;
      ctx.fillText(text, boxLeft + pad, boxTop + pad);
    }
    ctx.restore();
  }

  // Draws one chart into `container` (emptied first): x is the sample number (or what `options.xLabel`
  // names, its tick and legend text from `options.xValue(x)`, its tick steps `options.xSteps`), one line
  // per entry of `options.series` ({label, color?, dash?, pointsOnly?}), y in `options.unit`, and the
  // markers `options.markers` ([{x, label}]). Returns {plot, setData(columns)} where columns is
  // [samples, ...one array per series].
  function chart(container, options) {
    container.replaceChildren();
    const unit = options.unit || "";
    const digits = options.digits ?? 1;
    const height = () => (window.innerWidth < 640 ? 180 : 240);
    const yRange = options.fromZero
      ? (u, min, max) => [0, uPlot.rangeNum(0, max > 0 ? max : 1, 0.1, true)[1]]
      : (u, min, max) => uPlot.rangeNum(min ?? 0, max ?? 1, 0.1, true);
    const axisStroke = () => theme.axis;
    const gridStroke = () => theme.grid;
    const plot = new uPlot({
      width: Math.max(container.clientWidth, 200),
      height: height(),
      cursor: {
        sync: options.group ? { key: options.group, setSeries: true } : undefined,
        drag: { x: options.zoom !== false, y: false },
        points: { size: 7 },
      },
      scales: { x: { time: false }, y: { range: yRange } },
      axes: [
        // Samples are whole numbers: ticks only at whole steps.
        { stroke: axisStroke, grid: { stroke: gridStroke }, ticks: { stroke: gridStroke }, label: options.xLabel || "Sample", labelSize: 20,
          incrs: options.xSteps || sampleSteps,
          ...(options.xSteps && options.xValue ? { values: (u, splits) => splits.map((x) => options.xValue(x)), space: 64, splits: roundSplits(options.xZero) } : {}) },
        {
          stroke: axisStroke, grid: { stroke: gridStroke }, ticks: { stroke: gridStroke }, size: 56,
          label: unit, labelSize: 20,
        },
      ],
      series: [
        { label: options.xLabel || "Sample", value: (u, v) => (v === null ? "–" : options.xValue ? options.xValue(v) : String(v)) },
        ...options.series.map((s, i) => ({
          label: s.label,
          stroke: s.color || palette[i % palette.length],
          dash: s.dash || dashes[0],
          width: 2,
          spanGaps: false,
          // A series of marks only (flagged points on a line drawn by another) draws no line.
          ...(s.pointsOnly ? { paths: () => null, points: { show: true, size: 10, fill: s.color } } : { points: { show: false } }),
          value: (u, v) => (v === null || v === undefined ? "–" : number(v, digits) + (unit ? " " + unit : "")),
        })),
      ],
      hooks: {
        ...(options.group && options.zoom !== false ? { setScale: [(u, key) => { if (key === "x") zoomOthers(options.group, u); }] } : {}),
        draw: [(u) => drawMarkers(u, options.markers)],
      },
    }, [[], ...options.series.map(() => [])], container);
    plots.add(plot);
    if (options.group) joinGroup(options.group, plot);
    new ResizeObserver(() => {
      const width = Math.max(container.clientWidth, 200);
      if (width !== plot.width || height() !== plot.height) plot.setSize({ width, height: height() });
    }).observe(container);
    return {
      plot,
      // New markers, when given, are drawn with the data.
      setData(columns, markers) {
        if (markers) options.markers = markers;
        plot.setData(columns);
      },
    };
  }

  // Columns for uPlot from arrays indexed by sample number − 1, padded with nulls to the longest.
  function columns(arrays) {
    const length = Math.max(0, ...arrays.map((a) => (a ? a.length : 0)));
    const samples = Array.from({ length }, (_, i) => i + 1);
    return [samples, ...arrays.map((a) => Array.from({ length }, (_, i) => (a && a[i] !== undefined ? a[i] : null)))];
  }

  window.PerfCharts = { chart, columns, describe, number, palette, dashes, xAxis, clockText, elapsedText };
})();
