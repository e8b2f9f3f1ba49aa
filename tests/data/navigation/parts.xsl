<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template name="row">
    <xsl:param name="n"/>
    <td><xsl:value-of select="$n"/></td>
  </xsl:template>
</xsl:stylesheet>
