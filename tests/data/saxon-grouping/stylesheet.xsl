<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:xs="http://www.w3.org/2001/XMLSchema"
    xmlns:f="urn:zendrik:test" exclude-result-prefixes="xs f" version="3.0" expand-text="yes">
  <xsl:output method="html" version="5" indent="no"/>
  <xsl:function name="f:total" as="xs:decimal">
    <xsl:param name="items" as="element()*"/>
    <xsl:sequence select="sum($items/@price ! xs:decimal(.))"/>
  </xsl:function>
  <xsl:template match="/orders">
    <html><body>
      <xsl:for-each-group select="order" group-by="@customer">
        <xsl:sort select="current-grouping-key()"/>
        <p>{current-grouping-key()}: {count(current-group())} orders, {f:total(current-group())}</p>
      </xsl:for-each-group>
    </body></html>
  </xsl:template>
</xsl:stylesheet>
