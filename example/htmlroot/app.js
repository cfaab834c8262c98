// Shows that the page's module was served with a JavaScript type and ran,
// and whether the stylesheet applied (its heading colour).
const status = document.getElementById('status');
status.textContent = 'The JavaScript module ran.';
status.classList.add('ran');
const heading = getComputedStyle(document.querySelector('h1')).color;
document.body.dataset.stylesheet = heading === 'rgb(0, 170, 85)' ? 'applied' : 'missing';
