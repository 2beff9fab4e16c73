// The instrument index: what /api/instruments says, again every 2 seconds.
const table = document.querySelector("#instruments tbody");
const banner = document.getElementById("connection");

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

async function refresh() {
  try {
    const response = await fetch("/api/instruments", { cache: "no-store" });
    if (!response.ok) throw new Error(await response.text());
    const list = await response.json();
    banner.hidden = true;
    table.replaceChildren();
    for (const instrument of list.instruments) {
      const row = table.insertRow();
      const link = document.createElement("a");
      link.href = "/instrument/" + instrument.index;
      link.textContent = "Instrument " + instrument.index;
      row.insertCell().append(link);
      cell(row, instrument.present ? instrument.name : "(not found yet)");
      cell(row, instrument.address, "mono");
      if (!instrument.present) {
        cell(row, "not there: it answers -241 until it is", "bad");
      } else if (!instrument.answering) {
        cell(row, "does not answer: " + instrument.failure, "bad");
      } else {
        cell(row, "answering", "good");
      }
    }
  } catch (error) {
    banner.hidden = false;
    banner.textContent = "The server does not answer (" + error.message + "): trying again.";
  }
}

refresh();
setInterval(refresh, 2000);
