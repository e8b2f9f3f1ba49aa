<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <!-- the importing stylesheet's title wins -->
  <xsl:param name="title" select="'Imported'"/>
  <xsl:param name="unset" select="'default'"/>
  <xsl:template name="unused"><xsl:param name="local"/></xsl:template>
</xsl:stylesheet>
