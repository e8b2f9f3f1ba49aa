<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:include href="more.xsl"/>
  <xsl:variable name="twice" select="1"/>
  <xsl:template match="/">
    <xsl:variable name="unused" select="1"/>
    <xsl:variable name="x" select="1"/>
    <xsl:for-each select="*">
      <xsl:variable name="x" select="2"/>
      <xsl:value-of select="$x + $nowhere"/>
    </xsl:for-each>
    <xsl:call-template name="missing"/>
    <xsl:call-template name="row">
      <xsl:with-param name="n" select="1"/>
      <xsl:with-param name="extra" select="2"/>
    </xsl:call-template>
    <xsl:apply-templates mode="nomode">
      <xsl:with-param name="anything" select="1"/>
    </xsl:apply-templates>
    <xsl:copy-of select="key('nokey', 'a')"/>
  </xsl:template>
  <xsl:template name="row">
    <xsl:param name="n"/>
    <xsl:param name="spare"/>
    <xsl:value-of select="$n"/>
    <xsl:variable name="y">
      <xsl:variable name="y" select="$n"/>
      <xsl:value-of select="$y"/>
    </xsl:variable>
    <xsl:value-of select="$y"/>
  </xsl:template>
</xsl:stylesheet>
