<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:variable name="g" select="1"/>
  <xsl:template match="/">
    <xsl:variable name="spare" select="2"/>
    <xsl:value-of select="nosuch($gg)"/>
    <xsl:call-template name="missing"/>
    <xsl:value-of select="$g"/>
  </xsl:template>
</xsl:stylesheet>