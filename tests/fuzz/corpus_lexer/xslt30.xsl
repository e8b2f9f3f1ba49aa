<xsl:stylesheet version="3.0" expand-text="yes" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="item" visibility="public">
    <xsl:variable name="m" select="map { 'a': [1, 2], 'b': function($x) { $x * 2 } }"/>
    <xsl:sequence select="let $f := $m?b return for $i in 1 to 3 return $f($i) => string() || '!'"/>
    <p class="{map{'k':{1}}?k}" xsl:expand-text="no">{not an expression}</p>
    <li>Total: {sum(//item/@price) idiv 2} {{literal}} {if (@a) then 'x
      over a line' else '}'}</li>
    <xsl:if test="every $i in $s satisfies $i castable as xs:double and . is . and $n instance of map(*)"/>
  </xsl:template>
</xsl:stylesheet>
