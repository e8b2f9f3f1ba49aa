<?xml version="1.0"?>
<!-- Output built in variables and then copied, as DocBook's stylesheets build theirs: each
     copy is told by what made the original, for the source node it was made for. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:exsl="http://exslt.org/common" exclude-result-prefixes="exsl">
  <xsl:output method="html"/>

  <xsl:template match="/">
    <html><body><xsl:apply-templates select="doc/para"/></body></html>
  </xsl:template>

  <xsl:template match="para">
    <xsl:variable name="title">
      <xsl:element name="h2"><xsl:attribute name="class">title</xsl:attribute><xsl:value-of select="@title"/></xsl:element>
    </xsl:variable>
    <xsl:copy-of select="$title"/>
    <xsl:variable name="p">
      <p class="para"><xsl:value-of select="."/></p>
    </xsl:variable>
    <xsl:apply-templates select="exsl:node-set($p)/*" mode="unwrap"/>
  </xsl:template>

  <xsl:template match="*" mode="unwrap">
    <xsl:copy>
      <xsl:copy-of select="@*"/>
      <xsl:apply-templates mode="unwrap"/>
    </xsl:copy>
  </xsl:template>
</xsl:stylesheet>
