<xsl:stylesheet version="2.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template name="row">
    <xsl:param name="n"/>
    <xsl:value-of select="$n, $limit"/>
    <xsl:apply-templates mode="index"/>
  </xsl:template>
</xsl:stylesheet>
