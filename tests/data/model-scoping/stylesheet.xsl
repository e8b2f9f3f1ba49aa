<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:param name="title" select="'Report'"/>
  <xsl:variable name="count" select="count(//item)"/>
  <xsl:key name="by-id" match="item" use="@id"/>
  <xsl:attribute-set name="boxed"><xsl:attribute name="class">box</xsl:attribute></xsl:attribute-set>
  <xsl:template match="/">
    <xsl:variable name="first" select="key('by-id', '1')"/>
    <h1 title="{$title} ({$count})"><xsl:value-of select="$first"/></h1>
    <xsl:for-each select="//item">
      <xsl:variable name="count" select="position()"/>
      <p xsl:use-attribute-sets="boxed"><xsl:value-of select="$count + $later"/></p>
    </xsl:for-each>
    <xsl:value-of select="$count"/>
    <xsl:variable name="later"><xsl:value-of select="$later"/></xsl:variable>
    <xsl:call-template name="row">
      <xsl:with-param name="n" select="$later"/>
      <xsl:with-param name="missing" select="1"/>
    </xsl:call-template>
    <xsl:apply-templates mode="toc"/>
  </xsl:template>
  <xsl:template name="row" mode="toc">
    <xsl:param name="n"/>
    <xsl:value-of select="$n"/>
  </xsl:template>
</xsl:stylesheet>
