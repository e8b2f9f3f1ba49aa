<xsl:stylesheet version="3.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:f="urn:example:functions"
    xmlns:math="http://www.w3.org/2005/xpath-functions/math" xmlns:fn="http://www.w3.org/2005/xpath-functions"
    xmlns:map="http://www.w3.org/2005/xpath-functions/map" xmlns:exsl="http://exslt.org/common">
  <xsl:function name="f:twice" as="xs:integer">
    <xsl:param name="n" as="xs:integer"/>
    <xsl:sequence select="2 * $n"/>
  </xsl:function>
  <xsl:function name="f:twice" as="xs:integer">
    <xsl:param name="n" as="xs:integer"/>
    <xsl:param name="m" as="xs:integer"/>
    <xsl:sequence select="2 * $n + $m"/>
  </xsl:function>
  <xsl:template match="/" xmlns:g="urn:example:functions">
    <xsl:value-of select="f:twice(1), g:twice(2, 3), f:thrice(1), upper-case(.), fn:lower-case(.), math:sqrt(2), math:cube(2)"/>
    <xsl:value-of select="map:size(map{}), map:nosuch(1), current-group(), exsl:node-set(.), nosuch(), fn:nosuch()"/>
    <xsl:value-of select="saxon:anything()" use-when="function-available('saxon:anything')" xmlns:saxon="http://saxon.sf.net/"/>
    <xsl:sequence select="for-each((1, 2), f:twice#1) => string-join()"/>
  </xsl:template>
</xsl:stylesheet>
