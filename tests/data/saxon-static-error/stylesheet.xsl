<?xml version="1.0"?>
<xsl:stylesheet version="3.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="/">
    <p><xsl:value-of select="$undeclared"/></p>
  </xsl:template>
</xsl:stylesheet>
