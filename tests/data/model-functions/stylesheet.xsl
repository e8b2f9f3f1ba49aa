<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:exsl="http://exslt.org/common" xmlns:s="http://exslt.org/strings" xmlns:set="http://exslt.org/sets"
    xmlns:saxon="http://icl.com/saxon" xmlns:ext="urn:example:extensions"
    extension-element-prefixes="exsl">
  <xsl:template match="/">
    <xsl:variable name="parts" select="s:tokenize(concat(name(), ' a b'), ' ')"/>
    <xsl:value-of select="count(exsl:node-set($parts)) + string-length(normalize-space(.))"/>
    <xsl:value-of select="set:distinct(//*) | set:nosuch(//*)"/>
    <xsl:choose>
      <xsl:when test="function-available('saxon:line-number') and function-available('ext:whatever')">
        <xsl:value-of select="saxon:line-number() + ext:whatever()"/>
      </xsl:when>
      <xsl:when test="function-available('s:lower-case')">
        <xsl:value-of select="s:lower-case(.)"/>
      </xsl:when>
      <xsl:otherwise>
        <xsl:value-of select="s:lower-case(.)"/>
      </xsl:otherwise>
    </xsl:choose>
    <exsl:document href="out.xml">
      <xsl:value-of select="upper-case(.)"/>
      <xsl:fallback><xsl:value-of select="exsl:nosuch()"/></xsl:fallback>
    </exsl:document>
    <xsl:value-of select="nosuch(1) + ext:anything() + saxon:unheard-of()"/>
    <out a="{format-number(1, '#')}{upper-case(.)}"/>
  </xsl:template>
</xsl:stylesheet>
