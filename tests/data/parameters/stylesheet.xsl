<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:import href="imported.xsl"/>
  <xsl:include href="sub/included.xsl"/>
  <xsl:output method="text"/>
  <xsl:param name="title" select="'Untitled'"/>
  <xsl:param name="count">
    <xsl:value-of select="0"/>
  </xsl:param>
  <xsl:template match="/">
    <xsl:value-of select="concat($title, '|', $count, '|', $color, '|', $unset)"/>
  </xsl:template>
</xsl:stylesheet>
