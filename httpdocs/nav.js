// Marks the navigation link of the page being shown (the body's data-page).
(function () {
  var page = document.body && document.body.getAttribute("data-page");
  var link = page && document.getElementById("nav-" + page);
  if (link) { link.setAttribute("aria-current", "page"); link.className += " current"; }
})();
