<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns="http://www.w3.org/1999/xhtml">
  <!-- A page whose scripts would change its text, read a file beside the stylesheet and one
       elsewhere, reach a server over http and a web socket, and keep a cookie; with pictures from
       the stylesheet's and the source's folders, from elsewhere (directly and through a link) and
       from the server; and two links, one to an address another program would open. The test
       puts the addresses in place of the names in braces. -->
  <xsl:template match="/">
    <html>
      <head><title>Guarded</title></head>
      <body>
        <a href="zendrik-test://send?secret" style="position: fixed; left: 0; top: 0; width: 100%; height: 50%"/>
        <a href="{next}" style="position: fixed; left: 0; top: 50%; width: 100%; height: 50%"/>
        <p id="state">scripts did not run</p>
        <img id="inside" src="{inside}"/>
        <img id="beside" src="{beside}"/>
        <img id="outside" src="{outside}"/>
        <img id="link" src="{link}"/>
        <img id="remote" src="{remote}"/>
        <script>
          document.getElementById('state').textContent = 'scripts ran';
          function note(text) {
            var p = document.createElementNS('http://www.w3.org/1999/xhtml', 'p');
            p.textContent = text;
            document.body.appendChild(p);
          }
          function read(name, url) {
            fetch(url).then(function (r) { return r.text(); }).then(
              function (t) { note(name + ': read ' + t); }, function () { note(name + ': blocked'); });
          }
          read('own folder', '{note}');
          read('elsewhere', '{secret}');
          read('server', '{data}');
          new WebSocket('{socket}').onclose = function () { note('socket: closed'); };
          document.cookie = 'kept=1';
          try { localStorage.setItem('kept', '1'); } catch (e) {}
        </script>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
