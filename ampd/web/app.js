document.getElementById('x').textContent='js';
