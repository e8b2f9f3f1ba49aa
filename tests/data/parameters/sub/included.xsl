<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:include href="../imported.xsl"/>
  <xsl:param name="color" select="'red'"/>
</xsl:stylesheet>
