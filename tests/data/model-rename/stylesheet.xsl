<xsl:stylesheet version="2.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:f="urn:example:f" xmlns:g="urn:example:f">
  <xsl:include href="other.xsl"/>
  <xsl:param name="limit" select="10"/>
  <xsl:key name="byId" match="*" use="@id"/>
  <xsl:attribute-set name="box"><xsl:attribute name="class">b</xsl:attribute></xsl:attribute-set>
  <xsl:function name="f:twice"><xsl:param name="n"/><xsl:sequence select="2 * $n"/></xsl:function>
  <xsl:template match="/">
    <xsl:variable name="total" select="count(*)"/>
    <xsl:value-of select="$total + $limit + g:twice(1) + f:twice(2)"/>
    <xsl:call-template name="row">
      <xsl:with-param name="n" select="key('byId', 'a')"/>
    </xsl:call-template>
    <xsl:apply-templates mode="toc"/>
  </xsl:template>
  <xsl:template match="section" mode="toc index">
    <xsl:variable name="total" select="1"/>
    <div xsl:use-attribute-sets="box"><xsl:value-of select="$total"/></div>
  </xsl:template>
  <xsl:template match="*" mode="index">
    <xsl:variable name="other" select="2"/>
    <xsl:value-of select="$other"/>
  </xsl:template>
</xsl:stylesheet>
