<?xml version="1.0"?>
<xsl:stylesheet version="3.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="/">
    <html><body>
      <p>Started</p>
      <xsl:if test="not(//title)">
        <xsl:message terminate="yes">The book has no title.</xsl:message>
      </xsl:if>
    </body></html>
  </xsl:template>
</xsl:stylesheet>
