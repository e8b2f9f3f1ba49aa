<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:param name="count" select="0"/>
  <xsl:template match="/"><out><xsl:value-of select="$count"/></out></xsl:template>
</xsl:stylesheet>
