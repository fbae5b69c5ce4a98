// The play page: draws the state the server answers and sends the person's placements through its JSON API.
// The board is the server's SVG; an overlay of the same size takes the clicks and shows the chosen piece
// where it would go (filled when legal, dashed red when not) and dots where it fits.
"use strict";

const $ = (id) => document.getElementById(id);
const SVG = "http://www.w3.org/2000/svg";
let config = null;   // shapes, colours, names: GET /api/config
let state = null;    // the game: GET /api/games/{id}
let gameId = null;
let selected = null; // {kind, orientation} of the piece in hand
let hovered = null;  // the board cell under the pointer
let waiting = false; // a move is on its way: the others are playing
let legalAt = new Map();  // "orientation:anchor" -> action index
let fits = new Map();     // orientation -> anchors where it is legal

async function api(path, options) {
  const response = await fetch(path, options);
  const isJson = (response.headers.get("content-type") || "").includes("json");
  const body = isJson ? await response.json() : null;
  if (!response.ok) throw new Error(body && body.error ? body.error : response.statusText);
  return body;
}

function element(name, attributes = {}, parent = null) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (parent) parent.appendChild(node);
  return node;
}

// --- Shapes -----------------------------------------------------------------------------------------------------

function orientationsOf(kind) {
  return config.orientation_kinds.flatMap((k, o) => (k === kind ? [o] : []));
}

// The cell of a shape that follows the pointer: the one nearest the middle of its bounding box.
function handle(orientation) {
  const shape = config.shapes[orientation];
  const rows = Math.max(...shape.map((c) => c[0])), cols = Math.max(...shape.map((c) => c[1]));
  let best = shape[0], distance = Infinity;
  for (const cell of shape) {
    const d = (cell[0] - rows / 2) ** 2 + (cell[1] - cols / 2) ** 2;
    if (d < distance - 1e-9) { best = cell; distance = d; }
  }
  return best;
}

function cellsAt(orientation, anchor) {
  const n = config.size, row = Math.floor(anchor / n), col = anchor % n;
  return config.shapes[orientation].map(([r, c]) => [row + r, col + c]);
}

function markShape(agent, x, y, h, parent, fill) {
  if (agent === 0) return element("circle", { cx: x, cy: y, r: h, fill }, parent);
  if (agent === 1) return element("rect", { x: x - h, y: y - h, width: 2 * h, height: 2 * h, fill }, parent);
  if (agent === 2) {
    return element("path", { d: `M${x} ${y - 1.2 * h}L${x + 1.2 * h} ${y + h}L${x - 1.2 * h} ${y + h}Z`, fill }, parent);
  }
  return element("path", { d: `M${x} ${y - 1.3 * h}L${x + 1.3 * h} ${y}L${x} ${y + 1.3 * h}L${x - 1.3 * h} ${y}Z`, fill },
    parent);
}

function swatch(agent) {
  const span = document.createElement("span");
  span.className = "swatch";
  span.style.background = config.colours[agent];
  span.title = config.agent_names[agent];
  if ($("marks").checked) {
    const svg = element("svg", { viewBox: "0 0 10 10" }, span);
    markShape(agent, 5, 5, 2.2, svg, agent === 1 ? "#000" : "#fff");
  }
  return span;
}

function pieceIcon(orientation, colour) {
  const shape = config.shapes[orientation];
  const svg = element("svg", { viewBox: "-0.2 -0.2 5.4 5.4" });
  const rows = Math.max(...shape.map((c) => c[0])) + 1, cols = Math.max(...shape.map((c) => c[1])) + 1;
  const dx = (5 - cols) / 2, dy = (5 - rows) / 2;
  for (const [r, c] of shape) {
    element("rect", { x: c + dx, y: r + dy, width: 1, height: 1, fill: colour, stroke: "#1d1f21", "stroke-width": 0.08 },
      svg);
  }
  return svg;
}

// --- The game ---------------------------------------------------------------------------------------------------

function gameUrl(suffix = "") {
  return `/api/games/${encodeURIComponent(gameId)}${suffix}`;
}

async function refresh() {
  const marks = $("marks").checked ? "?marks=1" : "";
  try {
    show(await api(gameUrl(marks)));
  } catch (error) {
    $("status").textContent = `No such game: ${error.message}`;
    $("status").classList.remove("thinking");
    return;
  }
  if (state.thinking !== null && !waiting) setTimeout(refresh, 300);  // others still playing: look again
}

function show(next) {
  state = next;
  legalAt = new Map();
  fits = new Map();
  for (const [action, orientation, anchor] of state.placements) {
    legalAt.set(`${orientation}:${anchor}`, action);
    if (!fits.has(orientation)) fits.set(orientation, []);
    fits.get(orientation).push(anchor);
  }
  $("setup").hidden = true;
  $("play").hidden = false;
  $("board").innerHTML = state.board;
  const human = state.human, names = config.agent_names;
  const status = $("status");
  status.classList.toggle("thinking", state.thinking !== null);
  if (state.over) status.textContent = "Game over.";
  else if (state.thinking !== null) {
    status.textContent = `${names[state.thinking]} (${state.players[state.thinking]}) is thinking`;
  } else if (state.legal.length) status.textContent = `Your turn: you play ${names[human]}.`;
  else status.textContent = waiting ? "The others are playing" : "Waiting for the others";
  if (selected && !state.remaining[human].includes(config.kinds[selected.kind])) selected = null;
  showScores();
  showTray();
  showMoves();
  drawOverlay();
  showEnd();
}

function showScores() {
  const body = $("scores").querySelector("tbody");
  body.replaceChildren();
  for (let agent = 0; agent < 4; agent++) {
    const row = body.insertRow();
    row.dataset.agent = agent;
    if (!state.over && agent === state.agent) row.classList.add("to-move");
    if (state.done[agent]) row.classList.add("done");
    const name = row.insertCell();
    name.append(swatch(agent), config.agent_names[agent]);
    row.insertCell().textContent = state.players[agent] + (state.done[agent] && !state.over ? " (out)" : "");
    row.insertCell().textContent = state.scores[agent];
    row.insertCell().textContent = state.remaining[agent].length;
  }
}

function showTray() {
  const tray = $("tray");
  tray.replaceChildren();
  const colour = config.colours[state.human];
  const placeable = new Set([...fits.keys()].map((o) => config.orientation_kinds[o]));
  for (const name of state.remaining[state.human]) {
    const kind = config.kinds.indexOf(name);
    const chosen = selected && selected.kind === kind;
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.kind = name;
    button.title = name;
    button.setAttribute("aria-label", `piece ${name}`);
    if (chosen) button.classList.add("selected");
    if (!placeable.has(kind)) button.classList.add("unplaceable");
    button.append(pieceIcon(chosen ? selected.orientation : orientationsOf(kind)[0], colour));
    button.onclick = () => choose(kind);
    tray.append(button);
  }
  $("controls").classList.toggle("waiting", waiting || !state.legal.length);
  const info = $("selection");
  if (selected) {
    const [r, c] = handle(selected.orientation);
    info.dataset.kind = config.kinds[selected.kind];
    info.dataset.orientation = selected.orientation;
    info.dataset.handle = `${r},${c}`;
    const count = (fits.get(selected.orientation) || []).length;
    info.textContent = `${config.kinds[selected.kind]}: fits in ${count} place${count === 1 ? "" : "s"} this way round` +
      " (R rotates, F flips).";
  } else {
    delete info.dataset.kind;
    delete info.dataset.orientation;
    delete info.dataset.handle;
    info.textContent = state.legal.length
      ? "Pick a piece, then a place on the board (dots: where it fits)."
      : state.over ? "" : "You have no move now.";
  }
}

function showMoves() {
  const list = $("moves");
  list.replaceChildren();
  for (const move of [...state.last].reverse()) {
    const item = document.createElement("li");
    item.append(swatch(move.agent), `${config.agent_names[move.agent]} (${state.players[move.agent]}) placed ${move.piece}`);
    list.append(item);
  }
}

function showEnd() {
  const end = $("end");
  end.hidden = !state.over;
  $("controls").hidden = state.over;
  if (!state.over) return;
  const body = $("final").querySelector("tbody");
  body.replaceChildren();
  const order = [0, 1, 2, 3].sort((a, b) => state.ranks[a] - state.ranks[b] || a - b);
  for (const agent of order) {
    const row = body.insertRow();
    row.insertCell().textContent = state.ranks[agent];
    row.insertCell().append(swatch(agent), config.agent_names[agent]);
    row.insertCell().textContent = state.players[agent];
    row.insertCell().textContent = state.scores[agent];
  }
  $("download-record").href = gameUrl("/record");
  $("download-replay").href = gameUrl("/replay.html");
}

// --- Choosing and placing ---------------------------------------------------------------------------------------

function choose(kind) {
  if (waiting) return;
  const orientations = orientationsOf(kind);
  const orientation = orientations.find((o) => fits.has(o)) ?? orientations[0];
  selected = { kind, orientation };
  $("move-error").textContent = "";
  showTray();
  drawOverlay();
}

function turn(table) {
  if (!selected || waiting) return;
  selected.orientation = config[table][selected.orientation];
  showTray();
  drawOverlay();
}

function preview() {
  // The anchor that puts the piece's handle on the hovered cell, and whether it is legal there.
  if (!selected || hovered === null) return null;
  const n = config.size, [hr, hc] = handle(selected.orientation);
  const row = Math.floor(hovered / n) - hr, col = (hovered % n) - hc;
  const cells = config.shapes[selected.orientation].map(([r, c]) => [row + r, col + c]);
  const inside = row >= 0 && col >= 0 && cells.every(([r, c]) => r < n && c < n);
  const action = inside ? legalAt.get(`${selected.orientation}:${row * n + col}`) : undefined;
  return { cells, action };
}

function drawOverlay() {
  const overlay = $("overlay");
  const { cell, margin, size } = config;
  const side = 2 * margin + size * cell;
  overlay.setAttribute("viewBox", `0 0 ${side} ${side}`);
  overlay.replaceChildren();
  if (selected && !waiting) {
    const dots = new Set();
    for (const anchor of fits.get(selected.orientation) || []) {
      for (const [r, c] of cellsAt(selected.orientation, anchor)) dots.add(r * size + c);
    }
    for (const d of dots) {
      element("circle", { class: "fit", cx: margin + (d % size + 0.5) * cell,
        cy: margin + (Math.floor(d / size) + 0.5) * cell, r: cell * 0.12 }, overlay);
    }
    const shown = preview();
    if (shown) {
      const legal = shown.action !== undefined;
      for (const [r, c] of shown.cells) {
        if (r < 0 || c < 0 || r >= size || c >= size) continue;
        element("rect", { class: legal ? "preview" : "preview bad", x: margin + c * cell, y: margin + r * cell,
          width: cell, height: cell, fill: config.colours[state.human], "fill-opacity": 0.85 }, overlay);
      }
    }
  }
  // Transparent cells on top take the pointer.
  for (let i = 0; i < size * size; i++) {
    const target = element("rect", { x: margin + (i % size) * cell, y: margin + Math.floor(i / size) * cell,
      width: cell, height: cell, fill: "transparent", "data-cell": i }, overlay);
    target.addEventListener("mouseenter", () => { if (hovered !== i) { hovered = i; drawOverlay(); } });
    target.addEventListener("click", () => { hovered = i; place(); });
  }
}

async function place() {
  const shown = preview();
  if (!shown || waiting || !state.legal.length) return;
  if (shown.action === undefined) {
    $("move-error").textContent = `${config.kinds[selected.kind]} does not fit there this way round.`;
    drawOverlay();
    return;
  }
  waiting = true;
  selected = null;
  $("move-error").textContent = "";
  $("status").textContent = "Placing…";
  drawOverlay();
  const poll = setInterval(async () => {
    try { const next = await api(gameUrl($("marks").checked ? "?marks=1" : "")); if (waiting) show(next); } catch (e) { /* next time */ }
  }, 300);
  try {
    const next = await api(gameUrl(`/moves${$("marks").checked ? "?marks=1" : ""}`), {
      method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify({ action: shown.action }),
    });
    clearInterval(poll);
    waiting = false;
    show(next);
  } catch (error) {
    clearInterval(poll);
    waiting = false;
    $("move-error").textContent = error.message;
    await refresh();
  }
}

// --- A new game -------------------------------------------------------------------------------------------------

function setup(players = null, seat = null) {
  $("setup").hidden = false;
  $("play").hidden = true;
  $("end").hidden = true;
  $("status").textContent = "Choose your opponents and your seat.";
  const seatChoice = $("seat");
  seatChoice.replaceChildren();
  config.agent_names.forEach((name, agent) => seatChoice.add(new Option(`${agent}: ${name}`, agent)));
  seatChoice.value = seat ?? config.seat;
  const names = players ?? (config.against.length === 1 ? Array(3).fill(config.against[0]) : config.against);
  const list = document.createElement("datalist");
  list.id = "player-names";
  for (const name of new Set([...config.against, ...config.players, "mcts:200", "mcts:1000"])) list.append(new Option(name));
  const box = $("opponents");
  box.replaceChildren(list);
  const label = () => {
    const others = [0, 1, 2, 3].filter((a) => a !== +seatChoice.value);
    box.querySelectorAll("label span").forEach((span, i) => { span.textContent = config.agent_names[others[i]]; });
  };
  for (let i = 0; i < 3; i++) {
    const field = document.createElement("label");
    field.append(document.createElement("span"), " ");
    const input = document.createElement("input");
    input.setAttribute("list", "player-names");
    input.className = "opponent";
    input.value = names[i];
    input.required = true;
    field.append(input);
    box.append(field);
  }
  seatChoice.onchange = label;
  label();
}

async function start(players, seat, seed) {
  $("setup-error").textContent = "";
  $("status").textContent = "Starting…";
  const body = { players, seat };
  if (seed !== null) body.seed = seed;
  try {
    const { id } = await api("/api/games", {
      method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify(body),
    });
    gameId = id;
    selected = null;
    history.pushState(null, "", `?game=${encodeURIComponent(id)}`);
    await refresh();
  } catch (error) {
    setup(players, seat);
    $("setup-error").textContent = error.message;
  }
}

async function main() {
  config = await api("/api/config");
  $("marks").checked = localStorage.getItem("tegulo-marks") === "1";
  $("marks").onchange = () => {
    localStorage.setItem("tegulo-marks", $("marks").checked ? "1" : "0");
    if (gameId) refresh();
  };
  $("rotate").onclick = () => turn("rotated");
  $("flip").onclick = () => turn("flipped");
  $("overlay").addEventListener("mouseleave", () => { hovered = null; drawOverlay(); });
  document.addEventListener("keydown", (event) => {
    if (event.target.tagName === "INPUT") return;
    if (event.key === "r" || event.key === "R") turn("rotated");
    else if (event.key === "f" || event.key === "F") turn("flipped");
    else if (event.key === "Escape") { selected = null; showTray(); drawOverlay(); }
  });
  $("setup-form").onsubmit = (event) => {
    event.preventDefault();
    const players = [...document.querySelectorAll("#opponents input")].map((input) => input.value.trim());
    const seed = $("seed").value === "" ? null : Number($("seed").value);
    start(players, Number($("seat").value), seed);
  };
  $("again").onclick = () => {
    const others = state.players.filter((_, agent) => agent !== state.human);
    gameId = null;
    history.pushState(null, "", location.pathname);
    setup(others, state.human);
  };
  window.addEventListener("popstate", () => location.reload());
  gameId = new URLSearchParams(location.search).get("game");
  if (gameId) await refresh();
  else setup();
}

main();
