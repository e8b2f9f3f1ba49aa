<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:variable name="g" select="'base'"/>
  <xsl:template name="t"><xsl:value-of select="$g"/></xsl:template>
</xsl:stylesheet>
