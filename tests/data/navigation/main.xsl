<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:include href="parts.xsl"/>
  <xsl:param name="title"/>
  <xsl:template match="/">
    <xsl:variable name="total" select="count(//item)"/>
    <xsl:value-of select="$title"/>
    <xsl:call-template name="row">
      <xsl:with-param name="n" select="$total"/>
    </xsl:call-template>
    <xsl:apply-templates select="item" mode="list"/>
  </xsl:template>
  <xsl:template match="item" mode="list"/>
</xsl:stylesheet>
