<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="2.0">
  <xsl:template match="/">
    <xsl:result-document href="written-by-the-preview.txt" method="text">should never exist</xsl:result-document>
    <done/>
  </xsl:template>
</xsl:stylesheet>
