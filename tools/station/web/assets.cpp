#include "web/assets.h"

namespace station::web {

namespace {

// Every text from the station reaches the page through textContent, never
// as markup; the page itself holds no text from the station.
const char kPage[] = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Station</title>
<link rel="icon" href="/favicon.svg" type="image/svg+xml">
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<header class="bar">
  <div class="ident">
    <h1 id="station-name">Station</h1>
    <div class="sub"><span id="plan"></span><span id="fixture"></span></div>
  </div>
  <div id="link" class="link" data-link="connecting">Connecting</div>
  <button id="stop" class="stop" type="button">Stop station</button>
</header>
<div id="banner" class="banner" role="status" hidden></div>
<section id="shift" class="shift" aria-label="Shift">
  <div class="count"><span class="label">Tested</span><span id="tested" class="num">0</span></div>
  <div class="count" data-outcome="PASS"><span class="label">Passed</span><span id="passed" class="num">0</span></div>
  <div class="count" data-outcome="FAIL"><span class="label">Failed</span><span id="failed" class="num">0</span></div>
  <div class="count" data-outcome="ERROR"><span class="label">Errors</span><span id="errors" class="num">0</span></div>
  <div class="count" data-outcome="ABORT"><span class="label">Aborted</span><span id="aborted" class="num">0</span></div>
  <div class="count"><span class="label">First-pass yield</span><span id="fpy" class="num">&ndash;</span></div>
  <div class="report"><a id="report" target="_blank" rel="noopener noreferrer" hidden>Yield report</a><span id="report-text" hidden></span></div>
</section>
<main id="slots" class="slots"></main>
<template id="slot-template">
  <section class="slot">
    <header class="slot-head"><h2 class="slot-title"></h2><span class="state"></span></header>
    <div class="result" data-outcome=""></div>
    <p class="why"></p>
    <dl class="facts">
      <dt>Serial</dt><dd class="serial"></dd>
      <dt>Step</dt><dd class="step"></dd>
      <dt>Value</dt><dd><span class="value"></span> <span class="limit"></span> <span class="marginal" hidden>marginal</span></dd>
      <dt>Elapsed</dt><dd class="elapsed"></dd>
      <dt>Address</dt><dd class="address"></dd>
    </dl>
    <ol class="steps"></ol>
    <form class="entry" autocomplete="off">
      <input class="serial-input" name="serial" type="text" maxlength="256" spellcheck="false" placeholder="Scan or type a serial">
      <button class="submit" type="submit">Test</button>
    </form>
    <p class="refusal" role="alert"></p>
  </section>
</template>
<dialog id="confirm-stop">
  <form method="dialog">
    <p>Stop the station? Units under test end ABORT.</p>
    <div class="buttons">
      <button id="stop-cancel" value="cancel">Cancel</button>
      <button id="stop-confirm" class="stop" value="stop">Stop station</button>
    </div>
  </form>
</dialog>
</body>
</html>
)page";

const char kStyle[] = R"css(
* { box-sizing: border-box; }
body { margin: 0; font-family: system-ui, "Segoe UI", "DejaVu Sans", sans-serif; background: #eef1f4; color: #1b2530; }
.bar { display: flex; align-items: center; gap: 16px; padding: 10px 20px; background: #1d2935; color: #fff; }
.ident { flex: 1; min-width: 0; }
.ident h1 { margin: 0; font-size: 22px; overflow-wrap: anywhere; }
.sub { font-size: 13px; color: #b8c4d0; display: flex; gap: 16px; flex-wrap: wrap; overflow-wrap: anywhere; }
.link { font-size: 13px; padding: 4px 10px; border-radius: 12px; background: #5f6368; white-space: nowrap; }
.link[data-link="live"] { background: #1e8e3e; }
.link[data-link="reconnecting"], .link[data-link="connecting"] { background: #e37400; }
.link[data-link="lost"] { background: #c5221f; }
button { font: inherit; cursor: pointer; border-radius: 6px; border: 1px solid #8a96a3; background: #fff; color: #1b2530; padding: 6px 14px; }
button:disabled { cursor: default; opacity: 0.5; }
button.stop { background: #c5221f; border-color: #c5221f; color: #fff; font-weight: 600; }
.banner { padding: 10px 20px; background: #fde293; color: #3c2a00; font-weight: 600; }
.shift { display: flex; flex-wrap: wrap; gap: 12px; padding: 14px 20px 0; align-items: stretch; }
.count { background: #fff; border-radius: 8px; padding: 8px 14px; min-width: 96px; border-left: 5px solid #8a96a3; }
.count[data-outcome="PASS"] { border-left-color: #1e8e3e; }
.count[data-outcome="FAIL"] { border-left-color: #c5221f; }
.count[data-outcome="ERROR"] { border-left-color: #e37400; }
.count[data-outcome="ABORT"] { border-left-color: #5f6368; }
.count .label { display: block; font-size: 12px; color: #5f6b77; }
.count .num { font-size: 24px; font-weight: 700; font-variant-numeric: tabular-nums; }
.report { display: flex; align-items: center; font-size: 14px; overflow-wrap: anywhere; }
.report a { color: #1a5fb4; }
.slots { display: grid; grid-template-columns: repeat(auto-fit, minmax(360px, 1fr)); gap: 16px; padding: 16px 20px 24px; }
.slot { background: #fff; border-radius: 10px; padding: 14px 16px; box-shadow: 0 1px 3px rgba(0,0,0,0.12); display: flex; flex-direction: column; gap: 8px; min-width: 0; }
.slot-head { display: flex; align-items: baseline; justify-content: space-between; gap: 8px; }
.slot-head h2 { margin: 0; font-size: 18px; }
.state { font-size: 13px; color: #5f6b77; }
.result { font-size: 60px; font-weight: 800; letter-spacing: 2px; text-align: center; border-radius: 8px; padding: 10px 0; background: #e8ebee; color: #5f6b77; }
.result[data-outcome="PASS"] { background: #1e8e3e; color: #fff; }
.result[data-outcome="FAIL"] { background: #c5221f; color: #fff; }
.result[data-outcome="ERROR"] { background: #e37400; color: #fff; }
.result[data-outcome="ABORT"] { background: #5f6368; color: #fff; }
.result[data-outcome="RUNNING"] { background: #1a73e8; color: #fff; font-size: 40px; padding: 20px 0; }
.why { margin: 0; min-height: 1.2em; color: #a50e0e; font-weight: 600; overflow-wrap: anywhere; }
.facts { display: grid; grid-template-columns: max-content 1fr; gap: 4px 12px; margin: 0; font-size: 15px; }
.facts dt { color: #5f6b77; }
.facts dd { margin: 0; min-height: 1.2em; overflow-wrap: anywhere; font-variant-numeric: tabular-nums; }
.value { font-weight: 700; }
.limit { color: #5f6b77; }
.marginal { background: #fde293; color: #3c2a00; border-radius: 4px; padding: 0 6px; font-size: 13px; font-weight: 600; }
.steps { margin: 0; padding: 0; list-style: none; font-size: 14px; border-top: 1px solid #e0e4e8; }
.steps li { display: grid; grid-template-columns: minmax(7em, 1fr) minmax(0, 1.5fr) 64px; gap: 8px; padding: 3px 0; border-bottom: 1px solid #f0f2f4; }
.steps .step-name, .steps .step-value { overflow-wrap: anywhere; }
.steps .step-value { color: #3d4852; text-align: right; }
.steps .step-outcome { text-align: right; font-weight: 700; }
.steps li[data-outcome="PASS"] .step-outcome { color: #1e8e3e; }
.steps li[data-outcome="FAIL"], .steps li[data-outcome="ERROR"] { background: #fce8e6; }
.steps li[data-outcome="FAIL"] .step-outcome { color: #c5221f; }
.steps li[data-outcome="ERROR"] .step-outcome { color: #b06000; }
.steps li[data-outcome="ABORT"] .step-outcome { color: #5f6368; }
.steps li[data-outcome="RUNNING"] .step-outcome { color: #1a73e8; }
.entry { display: flex; gap: 8px; margin-top: 4px; }
.entry input { flex: 1; min-width: 0; font: inherit; font-size: 20px; padding: 6px 10px; border: 2px solid #8a96a3; border-radius: 6px; }
.entry input:focus { outline: none; border-color: #1a73e8; }
.entry button { font-size: 18px; }
.refusal { margin: 0; min-height: 1.2em; color: #a50e0e; font-weight: 600; overflow-wrap: anywhere; }
body.stopping .slots { opacity: 0.85; }
dialog { border: none; border-radius: 10px; padding: 20px 24px; box-shadow: 0 6px 24px rgba(0,0,0,0.3); }
dialog::backdrop { background: rgba(20,30,40,0.5); }
dialog p { margin: 0 0 16px; font-size: 17px; }
dialog .buttons { display: flex; justify-content: flex-end; gap: 10px; }
)css";

// Follows the station by server-sent events (the browser reconnects by
// itself); the only timer ticks the elapsed times shown between events.
const char kScript[] = R"js('use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const slotsElement = $('slots');
  const template = $('slot-template');
  const panels = new Map();
  const outcomes = new Set(['PASS', 'FAIL', 'ERROR', 'ABORT']);
  let state = null;
  let receivedAt = 0;
  let linkState = 'connecting';

  function setText(element, value) {
    const text = value === undefined || value === null ? '' : String(value);
    if (element.textContent !== text) element.textContent = text;
  }

  function str(value) {
    return typeof value === 'string' ? value : '';
  }

  function formatElapsed(seconds) {
    if (!(seconds >= 0) || !isFinite(seconds)) return '';
    if (seconds < 60) return seconds.toFixed(1) + ' s';
    const whole = Math.floor(seconds);
    return Math.floor(whole / 60) + ':' + String(whole % 60).padStart(2, '0') + ' min';
  }

  // Only web addresses and paths on this server become links; anything
  // else (javascript:, data:, a file) is shown as text.
  function linkable(url) {
    return /^https?:\/\/[^\s]+$/i.test(url) || /^\/(?!\/)[^\s]*$/.test(url);
  }

  function showBanner(text) {
    const banner = $('banner');
    setText(banner, text);
    banner.hidden = !text;
  }

  function setLink(kind) {
    linkState = kind;
    const link = $('link');
    link.dataset.link = kind;
    const stopped = state && state.stopping;
    setText(link, kind === 'live' ? 'Live' : kind === 'reconnecting' ? 'Reconnecting'
      : kind === 'lost' ? (stopped ? 'Station stopped' : 'No connection') : 'Connecting');
  }

  function makePanel(slot) {
    const root = template.content.firstElementChild.cloneNode(true);
    const find = (selector) => root.querySelector(selector);
    const panel = {
      slot, root, view: null,
      title: find('.slot-title'), state: find('.state'), result: find('.result'), why: find('.why'),
      serial: find('.serial'), step: find('.step'), value: find('.value'), limit: find('.limit'),
      marginal: find('.marginal'), elapsed: find('.elapsed'), address: find('.address'), steps: find('.steps'),
      form: find('.entry'), input: find('.serial-input'), button: find('.submit'), refusal: find('.refusal'),
      sending: false,
    };
    root.id = 'slot-' + slot;
    root.dataset.slot = String(slot);
    panel.input.id = 'serial-' + slot;
    panel.input.setAttribute('aria-label', 'Serial for slot ' + slot);
    setText(panel.title, 'Slot ' + slot);
    panel.form.addEventListener('submit', (event) => {
      event.preventDefault();
      submitSerial(panel);
    });
    panel.input.addEventListener('input', () => setText(panel.refusal, ''));
    return panel;
  }

  function placePanel(panel) {
    for (const element of slotsElement.children) {
      if (Number(element.dataset.slot) > panel.slot) {
        slotsElement.insertBefore(panel.root, element);
        return;
      }
    }
    slotsElement.appendChild(panel.root);
  }

  async function post(path, body) {
    const response = await fetch(path, {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
      cache: 'no-store', credentials: 'same-origin',
    });
    let answer = null;
    try { answer = await response.json(); } catch (e) { answer = null; }
    return { response, answer };
  }

  async function submitSerial(panel) {
    if (panel.sending) return;
    const serial = panel.input.value.trim();
    if (!serial) {
      setText(panel.refusal, 'Scan or type a serial.');
      return;
    }
    panel.sending = true;
    panel.button.disabled = true;
    setText(panel.refusal, '');
    try {
      const { response, answer } = await post('/api/serial', { slot: panel.slot, serial });
      if (answer && answer.accepted === true) {
        panel.input.value = '';
      } else {
        setText(panel.refusal, answer && str(answer.text) ? answer.text
          : 'The station did not take the serial (HTTP ' + response.status + ').');
      }
    } catch (e) {
      setText(panel.refusal, 'The station cannot be reached.');
    } finally {
      panel.sending = false;
      panel.button.disabled = !!(state && state.stopping);
      panel.input.focus();
    }
  }

  function renderSteps(list, steps) {
    while (list.children.length > steps.length) list.lastElementChild.remove();
    steps.forEach((step, index) => {
      let item = list.children[index];
      if (!item) {
        item = document.createElement('li');
        for (const name of ['step-name', 'step-value', 'step-outcome']) {
          const cell = document.createElement('span');
          cell.className = name;
          item.appendChild(cell);
        }
        list.appendChild(item);
      }
      const outcome = str(step.outcome);
      setText(item.children[0], str(step.name));
      setText(item.children[1], str(step.value));
      setText(item.children[2], outcome || '\u2026');
      item.dataset.outcome = outcomes.has(outcome) ? outcome : 'RUNNING';
    });
  }

  function renderSlot(panel, view) {
    panel.view = view;
    const running = view.state === 'running';
    const outcome = str(view.outcome);
    panel.root.dataset.state = str(view.state);
    setText(panel.state, running ? 'testing' : view.state === 'waiting' ? 'waiting for a serial'
      : view.state === 'done' ? 'done' : str(view.state));
    if (running) {
      setText(panel.result, 'TESTING');
      panel.result.dataset.outcome = 'RUNNING';
    } else if (outcomes.has(outcome)) {
      setText(panel.result, outcome);
      panel.result.dataset.outcome = outcome;
    } else {
      setText(panel.result, 'READY');
      panel.result.dataset.outcome = '';
    }
    setText(panel.why, running ? '' : str(view.text));
    setText(panel.serial, str(view.serial));
    setText(panel.step, str(view.step));
    setText(panel.value, str(view.value));
    setText(panel.limit, str(view.limit) ? 'limit ' + view.limit : '');
    panel.marginal.hidden = view.marginal !== true;
    setText(panel.address, str(view.address));
    renderSteps(panel.steps, Array.isArray(view.steps) ? view.steps : []);
  }

  function renderElapsed() {
    if (!state) return;
    const since = (performance.now() - receivedAt) / 1000;
    for (const panel of panels.values()) {
      const view = panel.view;
      if (!view) continue;
      const base = typeof view.elapsed === 'number' ? view.elapsed : 0;
      const shown = view.state === 'running' && !state.stopping ? base + since : base;
      setText(panel.elapsed, view.state === 'running' || str(view.serial) ? formatElapsed(shown) : '');
    }
  }

  function renderShift(shift) {
    for (const name of ['tested', 'passed', 'failed', 'errors', 'aborted']) {
      setText($(name), Number.isInteger(shift[name]) ? shift[name] : 0);
    }
    const yieldValue = shift.first_pass_yield;
    setText($('fpy'), shift.tested > 0 && typeof yieldValue === 'number'
      ? (yieldValue * 100).toFixed(1) + ' %' : '\u2013');
    const url = str(shift.report_url);
    const link = $('report');
    const text = $('report-text');
    if (url && linkable(url)) {
      if (link.getAttribute('href') !== url) link.setAttribute('href', url);
      link.hidden = false;
      text.hidden = true;
    } else {
      link.hidden = true;
      link.removeAttribute('href');
      setText(text, url ? 'Yield report: ' + url : '');
      text.hidden = !url;
    }
  }

  function render(next) {
    state = next;
    receivedAt = performance.now();
    const name = str(next.station) || 'Station';
    setText($('station-name'), name);
    if (document.title !== name + ' \u2013 station') document.title = name + ' \u2013 station';
    setText($('plan'), str(next.plan) ? 'Plan ' + next.plan : '');
    setText($('fixture'), str(next.fixture) ? 'Fixture ' + next.fixture : '');
    const seen = new Set();
    for (const view of Array.isArray(next.slots) ? next.slots : []) {
      const slot = Number(view.slot);
      if (!Number.isInteger(slot) || seen.has(slot)) continue;
      seen.add(slot);
      let panel = panels.get(slot);
      if (!panel) {
        panel = makePanel(slot);
        panels.set(slot, panel);
        placePanel(panel);
      }
      renderSlot(panel, view);
    }
    for (const [slot, panel] of panels) {
      if (!seen.has(slot)) {
        panel.root.remove();
        panels.delete(slot);
      }
    }
    // A scanner types where the focus is: the first slot's entry unless
    // the operator chose another.
    if (!document.activeElement || document.activeElement === document.body) {
      const first = slotsElement.querySelector('.serial-input');
      if (first && !first.disabled) first.focus();
    }
    renderShift(next.shift && typeof next.shift === 'object' ? next.shift : {});
    const stopping = next.stopping === true;
    document.body.classList.toggle('stopping', stopping);
    $('stop').disabled = stopping;
    for (const panel of panels.values()) {
      panel.input.disabled = stopping;
      panel.button.disabled = stopping || panel.sending;
    }
    if (stopping) showBanner('The station is stopping: units under test end ABORT.');
    setLink(linkState);
    renderElapsed();
  }

  function connect() {
    const source = new EventSource('/events');
    source.addEventListener('open', () => setLink('live'));
    source.addEventListener('message', (event) => {
      let next = null;
      try { next = JSON.parse(event.data); } catch (e) { return; }
      if (next && typeof next === 'object') render(next);
    });
    source.addEventListener('error', () => {
      if (source.readyState === EventSource.CLOSED) {
        // Refused outright (no token, too many pages open): try again later.
        setLink('lost');
        setTimeout(connect, 5000);
      } else {
        setLink(state && state.stopping ? 'lost' : 'reconnecting');
      }
    });
  }

  const dialog = $('confirm-stop');
  $('stop').addEventListener('click', () => {
    dialog.returnValue = '';
    dialog.showModal();
  });
  dialog.addEventListener('close', async () => {
    if (dialog.returnValue !== 'stop') return;
    try {
      const { response } = await post('/api/stop', {});
      if (!response.ok) showBanner('The station did not take the stop (HTTP ' + response.status + ').');
    } catch (e) {
      showBanner('The station cannot be reached.');
    }
  });

  setInterval(renderElapsed, 250);
  connect();
})();
)js";

// A rounded square with a check mark.
const char kIcon[] =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32"><rect width="32" height="32" rx="7" fill="#1d2935"/><path d="M8 17l5 5 11-12" fill="none" stroke="#34c759" stroke-width="4" stroke-linecap="round" stroke-linejoin="round"/></svg>
)svg";

const Asset kAssets[] = {
    {"/", "text/html; charset=utf-8", kPage},
    {"/app.css", "text/css; charset=utf-8", kStyle},
    {"/app.js", "text/javascript; charset=utf-8", kScript},
    {"/favicon.svg", "image/svg+xml", kIcon},
    {"/favicon.ico", "image/svg+xml", kIcon},
};

}  // namespace

const Asset* FindAsset(const std::string& aPath)
{
    for (const auto& asset : kAssets) {
        if (aPath == asset.path) return &asset;
    }
    return nullptr;
}

}  // namespace station::web
