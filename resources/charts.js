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
    theme = { axis: value("--chart-axis", "#555"), grid: value("--chart-grid", "rgba(128,128,128,0.25)") };
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

  // Draws one chart into `container` (emptied first): x is the sample number (or what `options.xLabel`
  // names, its legend text from `options.xValue(x)`), one line per entry of `options.series` ({label,
  // color?, dash?, pointsOnly?}), y in `options.unit`. Returns {plot, setData(columns)} where
  // columns is [samples, ...one array per series].
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
          incrs: [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000] },
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
      hooks: options.group && options.zoom !== false
        ? { setScale: [(u, key) => { if (key === "x") zoomOthers(options.group, u); }] }
        : {},
    }, [[], ...options.series.map(() => [])], container);
    plots.add(plot);
    if (options.group) joinGroup(options.group, plot);
    new ResizeObserver(() => {
      const width = Math.max(container.clientWidth, 200);
      if (width !== plot.width || height() !== plot.height) plot.setSize({ width, height: height() });
    }).observe(container);
    return {
      plot,
      setData(columns) { plot.setData(columns); },
    };
  }

  // Columns for uPlot from arrays indexed by sample number − 1, padded with nulls to the longest.
  function columns(arrays) {
    const length = Math.max(0, ...arrays.map((a) => (a ? a.length : 0)));
    const samples = Array.from({ length }, (_, i) => i + 1);
    return [samples, ...arrays.map((a) => Array.from({ length }, (_, i) => (a && a[i] !== undefined ? a[i] : null)))];
  }

  window.PerfCharts = { chart, columns, describe, number, palette, dashes };
})();
