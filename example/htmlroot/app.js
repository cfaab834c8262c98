// Shows that the page's module was served with a JavaScript type and ran.
const status = document.getElementById('status');
status.textContent = 'The JavaScript module ran.';
status.classList.add('ran');
