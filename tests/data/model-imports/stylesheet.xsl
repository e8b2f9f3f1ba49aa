<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:import href="base.xsl"/>
  <xsl:include href="parts/params.xsl"/>
  <xsl:variable name="g" select="'main'"/>
  <xsl:template match="/">
    <xsl:value-of select="concat($g, $q)"/>
    <xsl:call-template name="t"/>
  </xsl:template>
</xsl:stylesheet>
