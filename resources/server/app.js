// The collection server's pages: the runs list, one run, and runs compared. Each page names itself in
// <body data-page>; the data comes from the server's read API on the same origin.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const { number } = PerfCharts;

  // Builds an element: el("td", {className: "number"}, "12", child…). Text is set as text, never as markup.
  function el(tag, props = {}, ...children) {
    const node = Object.assign(document.createElement(tag), props);
    node.append(...children.filter((c) => c !== null && c !== undefined));
    return node;
  }

  function message(text, isError = false) {
    const node = $("message");
    node.textContent = text;
    node.classList.toggle("error", isError);
  }

  async function api(path) {
    const response = await fetch(path, { cache: "no-store", headers: { Accept: "application/json" } });
    if (!response.ok) {
      const detail = (await response.text().catch(() => "")).trim().slice(0, 200);
      throw new Error(`${response.status}${detail ? " " + detail : ""}`);
    }
    return response.json();
  }

  const when = (iso) => (iso ? new Date(iso).toLocaleString(undefined, { dateStyle: "medium", timeStyle: "medium" }) : "–");
  function duration(ms) {
    if (typeof ms !== "number" || !Number.isFinite(ms)) return "–";
    const seconds = Math.round(ms / 1000);
    const h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60), s = seconds % 60;
    return h ? `${h} h ${m} min ${s} s` : m ? `${m} min ${s} s` : `${(ms / 1000).toFixed(1)} s`;
  }
  const runName = (run) => [run.usecase, run.srnumber, run.pagename].filter(Boolean).join(" · ") || "Overall measurement";
  const runLink = (run, text) => el("a", { href: "run.html?id=" + encodeURIComponent(run.id) }, text);

  // What the pages know of the series they chart, with the figure keys that belong to each. A series the
  // pages do not know is charted under its own name, its figures found as "average"/"max" + its name.
  const known = {
    CPU: { title: "CPU", unit: "%", average: "averagecpu", max: "maxcpu", digits: 1 },
    MemoryUsed: { title: "Memory used", unit: "MB", average: "averagememoryused", max: "maxmemoryused", digits: 0 },
    MemoryFree: { title: "Memory free", unit: "MB", average: "averagememoryfree", max: "maxmemoryfree", digits: 0 },
    MemoryCompressed: { title: "Memory compressed", unit: "MB", average: "averagememorycompressed", max: "maxmemorycompressed", digits: 0 },
    AppCPU: { title: "App CPU", unit: "%", average: "averageappcpu", max: "maxappcpu", digits: 1 },
    AppMemory: { title: "App memory", unit: "MB", average: "averageappmemory", max: "maxappmemory", digits: 1 },
  };
  // The agent's opt-in metric groups: each has its figures under the usual names.
  for (const [key, title, unit, digits] of [["MemoryAvailable", "Memory available", "MB", 0], ["SwapUsed", "Swap used", "MB", 0],
    ["LoadAverage", "Load average", "tasks", 2], ["RunQueue", "Run queue", "tasks", 1], ["NetworkIn", "Network in", "KB/s", 1],
    ["NetworkOut", "Network out", "KB/s", 1], ["DiskRead", "Disk read", "KB/s", 1], ["DiskWrite", "Disk write", "KB/s", 1],
    ["Temperature", "Temperature", "°C", 1], ["PowerPackage", "Package power", "W", 2], ["PowerBattery", "Battery power", "W", 2],
    ["GPUBusy", "GPU busy", "%", 1], ["AppThreads", "App threads", "threads", 0], ["AppFileDescriptors", "App file descriptors", "descriptors", 0],
    ["AppRead", "App read", "KB/s", 1], ["AppWrite", "App write", "KB/s", 1]])
    known[key] = { title, unit, average: "average" + key.toLowerCase(), max: "max" + key.toLowerCase(), digits };
  const info = (key) => ({ key, ...(known[key] || { title: key, unit: "", average: "average" + key.toLowerCase(),
    max: "max" + key.toLowerCase(), digits: 2 }) });
  // Every series the runs hold, in the server's order (the system's first).
  const present = (runs) => [...new Set(runs.flatMap((r) => Object.keys(r.series || {})))].map(info);
  const figure = (run, key) => (run.figures || {})[key];
  const target = (run) => {
    const labels = run.labels || {};
    return labels.target ? labels.target + (labels.targetpid ? ` (pid ${labels.targetpid})` : "") : null;
  };
  // A series with no value other than 0 (compressed memory without zswap) is told in a line, not charted.
  const allZero = (values) => Array.isArray(values) && values.some((v) => v === 0) && values.every((v) => v === 0 || v === null);
  // The charts of a page: one per series, the app's CPU beside the system's on the CPU chart.
  function chartPlan(series, runs) {
    const keys = new Set(series.map((s) => s.key));
    return series.filter((s) => !(s.key === "AppCPU" && keys.has("CPU")) && !runs.every((r) => allZero((r.series || {})[s.key])))
      .map((s) => ({ ...s, lines: s.key === "CPU" && keys.has("AppCPU") ? [s, info("AppCPU")] : [s] }));
  }
  const rank = (s) => (s.key === "AppCPU" ? 1.5 : ["CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed"].indexOf(s.key) + 1 || 9);
  function zeroNotes(series, runs) {
    return series.filter((s) => runs.every((r) => allZero((r.series || {})[s.key])))
      .map((s) => el("p", { className: "note" }, `${s.title}: 0${s.unit ? " " + s.unit : ""} throughout, so not charted.`));
  }

  // A chart block: heading, the plot (an image to screen readers, described by the text below it).
  function chartBlock(parent, id, title) {
    const heading = el("h3", { id: id + "Title" }, title);
    const plot = el("div", { className: "plot", id: id + "Plot" });
    plot.setAttribute("role", "img");
    plot.setAttribute("aria-labelledby", heading.id);
    plot.setAttribute("aria-describedby", id + "Summary");
    const summary = el("p", { id: id + "Summary" });
    parent.append(el("section", { className: "chart" }, heading, plot, summary));
    return { plot, summary };
  }

  // ---- runs list ------------------------------------------------------------------------------------
  function runsPage() {
    // Use case, SR number and build match a part of the name in any case; the dates are whole UTC days, both kept.
    const filters = ["usecase", "srnumber", "build", "device", "since", "until"];
    const dayAfter = (date) => new Date(Date.parse(date + "T00:00:00Z") + 86_400_000).toISOString().slice(0, 10);
    const params = new URLSearchParams(location.search);
    for (const name of filters) $(name).value = params.get(name) || "";
    const body = $("runs").tBodies[0];
    const selected = [];   // ids in the order chosen: the first is the base of the comparison
    let shown = [];
    let next = null;
    let refreshTimer = 0;
    let generation = 0;

    // The filters as the API takes them (`until` the day after the last one shown), or as typed (`raw`).
    const query = (extra, raw = false) => {
      const q = new URLSearchParams();
      for (const name of filters) if ($(name).value.trim()) q.set(name, $(name).value.trim());
      if (q.has("until") && !raw) q.set("until", dayAfter(q.get("until")));
      for (const [k, v] of Object.entries(extra)) q.set(k, v);
      return q;
    };

    function showSelection() {
      const compare = $("compare");
      compare.disabled = selected.length < 2 || selected.length > 4;
      $("selection").textContent = selected.length === 0 ? "Select 2 to 4 runs to compare them."
        : `${selected.length} selected; the comparison is against run ${selected[0]}.`;
      for (const box of body.querySelectorAll("input[type=checkbox]")) box.disabled = !box.checked && selected.length >= 4;
    }

    function row(run) {
      const box = el("input", { type: "checkbox", checked: selected.includes(String(run.id)) });
      box.setAttribute("aria-label", `Select run ${run.id} (${runName(run)}) for comparison`);
      box.addEventListener("change", () => {
        const id = String(run.id);
        const at = selected.indexOf(id);
        if (box.checked && at < 0) selected.push(id);
        if (!box.checked && at >= 0) selected.splice(at, 1);
        showSelection();
      });
      const cell = (label, content, className = "") => {
        const td = el("td", { className }, content);
        td.dataset.label = label;
        return td;
      };
      return el("tr", {},
        el("td", { className: "select" }, box),
        cell("Started", runLink(run, when(run.started)), "when wide"),
        cell("Use case", run.usecase || "Overall measurement", "wide"),
        cell("SR number", run.srnumber || "–"),
        cell("Page", run.pagename || "–"),
        cell("Target", target(run) || "–"),
        cell("Build", (run.labels || {}).build || "–"),
        cell("Device", run.device || "–"),
        cell("Samples", String(run.samples), "number"),
        cell("State", run.complete ? "Complete" : "In progress", run.complete ? "" : "state-running"),
        cell("Avg CPU", number(figure(run, "averagecpu")) + " %", "number"),
        cell("Max CPU", number(figure(run, "maxcpu")) + " %", "number"),
        cell("Avg memory used", number(figure(run, "averagememoryused"), 0) + " MB", "number"));
    }

    function render() {
      body.replaceChildren(...shown.map(row));
      $("empty").hidden = shown.length > 0;
      $("more").hidden = next === null || next === undefined;
      showSelection();
    }

    // Reads the first page again (as many runs as are shown); while a run is in progress, every few seconds.
    async function load() {
      const mine = ++generation;
      clearTimeout(refreshTimer);
      try {
        const page = await api("/api/runs?" + query({ limit: String(Math.max(50, shown.length)) }));
        if (mine !== generation) return;
        shown = page.runs;
        next = page.next;
        render();
        message(shown.some((r) => !r.complete) ? "Runs in progress: the list updates every 5 seconds." : "");
      } catch (error) {
        if (mine === generation) message("Could not read the runs: " + error.message + ". Retrying.", true);
      }
      if (mine === generation && (shown.some((r) => !r.complete) || $("message").classList.contains("error"))) {
        refreshTimer = setTimeout(load, 5000);
      }
    }

    let typing = 0;
    $("filters").addEventListener("input", () => {
      clearTimeout(typing);
      typing = setTimeout(() => {
        const filtered = query({}, true).toString();
        history.replaceState(null, "", filtered ? "?" + filtered : location.pathname);
        shown = [];
        load();
      }, 300);
    });
    $("filters").addEventListener("submit", (event) => event.preventDefault());
    $("clear").addEventListener("click", () => {
      for (const name of filters) $(name).value = "";
      $("filters").dispatchEvent(new Event("input"));
    });
    $("more").addEventListener("click", async () => {
      try {
        const page = await api("/api/runs?" + query({ after: String(next) }));
        shown = shown.concat(page.runs);
        next = page.next;
        render();
      } catch (error) {
        message("Could not read more runs: " + error.message, true);
      }
    });
    $("compare").addEventListener("click", () => {
      location.href = "compare.html?runs=" + selected.map(encodeURIComponent).join(",");
    });
    load();
  }

  // The x axis the page's switch (radios named "xAxis") asks for: "sample", "clock" or "elapsed".
  const axisMode = () => (document.querySelector('input[name="xAxis"]:checked') || { value: "sample" }).value;

  // ---- one run --------------------------------------------------------------------------------------
  function runPage() {
    const id = new URLSearchParams(location.search).get("id");
    if (!id) return message("No run named: open a run from the runs list.", true);
    const base = "/api/runs/" + encodeURIComponent(id);
    $("csv").href = base + "/samples.csv";
    $("json").href = base;
    let charts = null;
    let shown = null;
    $("xAxis").addEventListener("change", () => shown && show(shown));

    function show(run) {
      shown = run;
      const firstSample = Date.parse(run.firstSample);
      const markers = (run.markers || []).map((m) => ({ x: m.sample, label: m.label }));
      $("markersBlock").hidden = markers.length === 0;
      $("markers").replaceChildren(...markers.map((m) => el("li", {}, `Sample ${m.x} (${PerfCharts.clockText(firstSample + (m.x - 1) * 1000)}): `,
        el("strong", {}, m.label))));
      document.title = `Run ${run.id} · perfagent-server`;
      $("title").textContent = `Run ${run.id}: ${runName(run)}`;
      $("facts").replaceChildren(...[
        ["Device", run.device || "–"], ["Token", run.deviceTokenFingerprint || "–"], ["Target", target(run) || "none"], ["Started", when(run.started)],
        ["Samples", String(run.samples)], ["State", run.complete ? "Complete" : "In progress"],
        ["Duration", duration(figure(run, "totalduration"))],
      ].flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, v)]));
      const series = present([run]);
      $("figures").tBodies[0].replaceChildren(...series.map((s) => el("tr", {},
        el("th", { scope: "row" }, s.unit ? `${s.title} (${s.unit})` : s.title),
        el("td", { className: "number" }, number(figure(run, s.average), s.digits)),
        el("td", { className: "number" }, number(figure(run, s.max), s.digits)))));
      const plan = chartPlan(series, [run]);
      const shape = axisMode() + ":" + plan.map((s) => s.lines.map((l) => l.key).join("+")).join(",");
      if (!charts || charts.shape !== shape) {
        $("charts").replaceChildren();
        charts = plan.map((s) => {
          const block = chartBlock($("charts"), "chart" + s.key, s.unit ? `${s.title} (${s.unit})` : s.title);
          const chart = PerfCharts.chart(block.plot, {
            unit: s.unit, digits: s.digits, group: "run", fromZero: s.unit === "%", ...PerfCharts.xAxis(axisMode(), firstSample),
            series: s.lines.map((l, i) => ({ label: l.title, color: PerfCharts.palette[i], dash: PerfCharts.dashes[i] })),
          });
          return { chart, block, lines: s.lines };
        });
        charts.shape = shape;
      }
      $("notes").replaceChildren(...zeroNotes(series, [run]));
      for (const { chart, block, lines } of charts) {
        const data = PerfCharts.columns(lines.map((l) => run.series[l.key]));
        chart.setData(data, markers);
        block.summary.textContent = lines.map((l, i) => PerfCharts.describe(l.title, l.unit, data[i + 1], l.digits)).join(" ");
      }
    }

    async function load() {
      try {
        const run = await api(base);
        show(run);
        showVerdict(run).catch((error) => $("verdictOutcome").replaceChildren("Could not judge the run: " + error.message + "."));
        message(run.complete ? "" : "This run is in progress: the page updates every 5 seconds.");
        if (!run.complete) setTimeout(load, 5000);
      } catch (error) {
        message("Could not read the run: " + error.message + ".", true);
        if (charts) setTimeout(load, 5000);
      }
    }
    load();
  }

  // ---- verdicts -------------------------------------------------------------------------------------
  // An outcome in words, its colour only a second cue (the class), with a mark that reads without colour.
  const outcomeMarks = { regressed: "▲ Regressed", improved: "▼ Improved", unchanged: "= Unchanged", inconclusive: "? Inconclusive" };
  const outcomeText = (outcome) => el("span", { className: "outcome outcome-" + outcome }, outcomeMarks[outcome] || outcome);
  const signedNumber = (value, digits) => (typeof value === "number" ? (value > 0 ? "+" : value < 0 ? "−" : "±") + number(Math.abs(value), digits) : "–");
  const pValue = (p) => (typeof p !== "number" ? "–" : p < 0.0001 ? "< 0.0001" : p.toPrecision(2));

  // The run page's verdict: the outcome against the baseline (linked), and a row per series.
  async function showVerdict(run) {
    const verdict = await api(`/api/runs/${encodeURIComponent(run.id)}/verdict`);
    const trendLink = el("a", { href: "trend.html?" + new URLSearchParams({ usecase: run.usecase || "",
      ...(run.labels && run.labels.target ? { target: run.labels.target } : {}) }) }, "trend of this use case");
    if (verdict.baseline === null) {
      $("verdictOutcome").replaceChildren(outcomeText("inconclusive"), ": no earlier complete run of this use case and target to compare with (",
        trendLink, ").");
      $("verdictTable").hidden = true;
      return;
    }
    $("verdictOutcome").replaceChildren(outcomeText(verdict.outcome), " against baseline ",
      runLink({ id: verdict.baseline }, `run ${verdict.baseline}`), " (", trendLink, ").");
    $("verdictTable").hidden = false;
    $("verdictTable").tBodies[0].replaceChildren(...verdict.series.map((s) => {
      const about = info(s.series);
      const unit = about.unit ? " " + about.unit : "";
      const interval = typeof s.low === "number" ? ` [${signedNumber(s.low, about.digits)}, ${signedNumber(s.high, about.digits)}]` : "";
      return el("tr", {}, el("th", { scope: "row" }, about.title),
        el("td", { className: "number" }, number(s.baselineMedian, about.digits) + unit),
        el("td", { className: "number" }, number(s.runMedian, about.digits) + unit),
        el("td", { className: "number" }, signedNumber(s.shift, about.digits) + interval + (typeof s.shift === "number" ? unit : "")),
        el("td", { className: "number" }, s.budget), el("td", { className: "number" }, pValue(s.p)),
        el("td", {}, outcomeText(s.outcome)));
    }));
  }

  // ---- trend ----------------------------------------------------------------------------------------
  function trendPage() {
    const params = new URLSearchParams(location.search);
    if (!params.get("usecase")) return message("No use case named: open a trend from a run's page.", true);

    function show(trend) {
      const name = trend.usecase + (trend.target ? ` · ${trend.target}` : "");
      document.title = `Trend of ${name} · perfagent-server`;
      $("title").textContent = `Trend: ${name}`;
      const runs = trend.runs;
      const keys = [...new Set(runs.flatMap((r) => Object.keys(r.medians)))];
      const series = keys.map(info);
      const label = (run) => `Run ${run.id}${run.build ? ` (build ${run.build})` : ""}`;
      const table = $("trend");
      table.tHead.rows[0].replaceChildren(el("th", { scope: "col" }, "Run"), el("th", { scope: "col" }, "Started"),
        el("th", { scope: "col" }, "Build"), ...series.map((s) => el("th", { scope: "col", className: "number" },
          `${s.title} median${s.unit ? ` (${s.unit})` : ""}`)), el("th", { scope: "col" }, "Outcome"));
      table.tBodies[0].replaceChildren(...runs.map((run) => el("tr", { className: run.id === trend.baseline ? "baseline-row" : "" },
        el("td", {}, runLink(run, `Run ${run.id}`), run.id === trend.baseline ? el("span", { className: "badge" }, "baseline") : null),
        el("td", { className: "when" }, when(run.started)), el("td", {}, run.build || "–"),
        ...series.map((s) => el("td", { className: "number" }, number(run.medians[s.key], s.digits))),
        el("td", {}, run.baseline === null ? "–" : outcomeText(run.outcome)))));
      message(runs.length ? "" : "No runs of this use case and target.");

      // Per series: the medians as a line; the runs that regressed on it and the baseline as marks of their own.
      $("charts").replaceChildren();
      for (const s of series) {
        const block = chartBlock($("charts"), "chart" + s.key, `${s.title} median${s.unit ? ` (${s.unit})` : ""}`);
        const chart = PerfCharts.chart(block.plot, {
          unit: s.unit, digits: s.digits, fromZero: s.unit === "%", xLabel: "Run",
          xValue: (i) => (runs[i - 1] ? label(runs[i - 1]) : "–"),
          series: [{ label: "Median" }, { label: "Regressed", color: "#b3261e", pointsOnly: true },
            { label: "Baseline", color: "#1e9e5a", pointsOnly: true }],
        });
        const medians = runs.map((r) => r.medians[s.key] ?? null);
        const regressedHere = (run) => (run.outcomes || {})[s.key] === "regressed";
        chart.setData([runs.map((_, i) => i + 1), medians, medians.map((m, i) => (regressedHere(runs[i]) ? m : null)),
          medians.map((m, i) => (runs[i].id === trend.baseline ? m : null))]);
        const regressed = runs.filter(regressedHere).map(label);
        block.summary.textContent = PerfCharts.describe(`${s.title} median`, s.unit, medians, s.digits).replace(/sample/g, "run") +
          (regressed.length ? ` Regressed: ${regressed.join(", ")}.` : " No run regressed.");
      }
    }

    api("/api/trend?" + new URLSearchParams([...params].filter(([k]) => ["usecase", "target", "limit"].includes(k))))
      .then(show)
      .catch((error) => message("Could not read the trend: " + error.message + ".", true));
  }

  // ---- comparison -----------------------------------------------------------------------------------
  function comparePage() {
    const ids = (new URLSearchParams(location.search).get("runs") || "").split(",").filter(Boolean);
    if (ids.length < 2 || ids.length > 4) return message("Choose 2 to 4 runs on the runs list to compare them.", true);

    function signed(value, digits) {
      return (value > 0 ? "+" : value < 0 ? "−" : "±") + number(Math.abs(value), digits);
    }
    // "+1.5 % (+12.0 %)": the difference to the base run, absolute in the series' unit and relative.
    // Which way it goes is said in words (the colour repeats it): worse is upward but for free memory.
    function delta(difference, s) {
      if (!difference || typeof difference.absolute !== "number") return null;
      const relative = typeof difference.relative === "number" ? ` (${signed(difference.relative, 1)} %)` : "";
      const change = difference.absolute;
      const worse = s.key === "MemoryFree" ? change < 0 : change > 0;
      const way = change === 0 ? "" : worse ? "worse" : "better";
      return el("span", { className: "delta" + (way ? " " + way : "") },
        `${signed(change, s.digits)}${s.unit ? " " + s.unit : ""}${relative}${way ? ", " + way : ""}`);
    }

    let shown = null;
    $("xAxis").addEventListener("change", () => shown && show(shown));

    function show(result) {
      shown = result;
      const runs = result.runs;
      const differences = new Map((result.differences || []).map((d) => [String(d.id), d]));
      $("title").textContent = "Comparison of runs " + runs.map((r) => r.id).join(", ");
      $("legend").replaceChildren(...runs.map((run, i) => {
        const swatch = el("span", { className: `swatch dash-${i}` });
        swatch.style.borderTopColor = PerfCharts.palette[i];
        swatch.setAttribute("aria-hidden", "true");
        return el("li", {}, swatch, runLink(run, `Run ${run.id}`), `: ${runName(run)}, ${when(run.started)}, ${run.samples} samples`,
          target(run) ? `, target ${target(run)}` : "",
          i === 0 ? " (the base of the differences)" : "");
      }));

      // The app's CPU chart beside the system's.
      const series = present(runs).sort((a, b) => rank(a) - rank(b));
      const table = $("figures");
      table.tHead.rows[0].replaceChildren(el("th", { scope: "col" }, "Figure"),
        ...runs.map((r, i) => el("th", { scope: "col", className: "number" }, i === 0 ? `Run ${r.id}` : `Run ${r.id} (Δ to run ${runs[0].id})`)));
      table.tBodies[0].replaceChildren(...series.flatMap((s) => [["Average", s.average], ["Maximum", s.max]].map(([what, key]) =>
        el("tr", {}, el("th", { scope: "row" }, `${s.title} (${s.unit}), ${what.toLowerCase()}`),
          ...runs.map((run, i) => {
            const cell = el("td", { className: "number" }, number(figure(run, key), s.digits));
            const d = i > 0 ? delta(differences.get(String(run.id))?.figures?.[key], s) : null;
            if (d) cell.append(el("br"), d);
            return cell;
          })))));

      // One chart per series and run: the app's CPU is its own chart here, each run being one line.
      $("charts").replaceChildren();
      for (const s of series.filter((x) => !runs.every((r) => allZero((r.series || {})[x.key])))) {
        const block = chartBlock($("charts"), "chart" + s.key, s.unit ? `${s.title} (${s.unit})` : s.title);
        const chart = PerfCharts.chart(block.plot, {
          unit: s.unit, digits: s.digits, group: "compare", fromZero: s.unit === "%", ...PerfCharts.xAxis(axisMode()),
          series: runs.map((r, i) => ({ label: `Run ${r.id}`, color: PerfCharts.palette[i], dash: PerfCharts.dashes[i] })),
        });
        const data = PerfCharts.columns(runs.map((r) => r.series && r.series[s.key]));
        chart.setData(data);
        block.summary.textContent = runs.map((r, i) => PerfCharts.describe(`Run ${r.id}`, s.unit, data[i + 1], s.digits)).join(" ");
      }
      $("notes").replaceChildren(...zeroNotes(series, runs));
    }

    api("/api/compare?runs=" + ids.map(encodeURIComponent).join(","))
      .then(show)
      .catch((error) => message("Could not compare the runs: " + error.message + ".", true));
  }

  const pages = { runs: runsPage, run: runPage, compare: comparePage, trend: trendPage };
  pages[document.body.dataset.page]();
})();
