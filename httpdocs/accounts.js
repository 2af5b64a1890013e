// The lists of the pages (the accounts, all servers): a filter box that
// hides the rows not matching its text, and sorting by a column when its
// heading is clicked (again: the other way). A cell's data-sort value, where
// given, sorts in place of its text (times, numbers). A table names its
// filter box in data-filter; the accounts list has its own ids.
(function () {
function setup(table, filter, none) {
  if (!table) return;
  var body = table.tBodies[0];
  function rows() { return Array.prototype.slice.call(body.rows); }
  function key(row, column) {
    var cell = row.cells[column];
    if (!cell) return "";
    var sort = cell.getAttribute("data-sort");
    return sort !== null ? sort : cell.textContent.trim().toLowerCase();
  }
  function compare(a, b) {
    var x = parseFloat(a), y = parseFloat(b);
    if (!isNaN(x) && !isNaN(y) && String(x) === a && String(y) === b) return x - y;
    return a < b ? -1 : a > b ? 1 : 0;
  }
  var headings = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(headings, function (th, column) {
    if (column === headings.length - 1) return;  // the actions
    var button = document.createElement("button");
    button.type = "button";
    button.className = "sort";
    button.textContent = th.textContent;
    th.textContent = "";
    th.appendChild(button);
    button.addEventListener("click", function () {
      var ascending = th.getAttribute("aria-sort") !== "ascending";
      Array.prototype.forEach.call(headings, function (h) { h.removeAttribute("aria-sort"); });
      th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
      rows().sort(function (a, b) {
        var c = compare(key(a, column), key(b, column));
        return ascending ? c : -c;
      }).forEach(function (row) { body.appendChild(row); });
    });
  });
  if (filter) filter.addEventListener("input", function () {
    var words = filter.value.trim().toLowerCase();
    var shown = 0;
    rows().forEach(function (row) {
      var match = !words || row.textContent.toLowerCase().indexOf(words) >= 0;
      row.hidden = !match;
      if (match) shown++;
    });
    if (none) none.hidden = shown > 0;
  });
}
setup(document.getElementById("accounts"), document.getElementById("accounts-filter"),
      document.getElementById("accounts-none"));
Array.prototype.forEach.call(document.querySelectorAll("table[data-filter]"), function (table) {
  setup(table, document.getElementById(table.getAttribute("data-filter")), null);
});
})();
