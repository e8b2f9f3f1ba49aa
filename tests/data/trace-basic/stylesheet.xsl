<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:include href="included.xsl"/>
  <xsl:output method="html" indent="yes"/>

  <xsl:template match="/">
    <html>
      <body class="book">
        <xsl:apply-templates/>
        <xsl:call-template name="footer"/>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="chapter">
    <div
        class="chapter">
      <h1><xsl:value-of select="title"/></h1>
      <ul>
        <xsl:for-each select="item">
          <li><xsl:value-of select="@name"/></li>
        </xsl:for-each>
      </ul>
      <xsl:apply-templates select="note"/>
    </div>
  </xsl:template>

  <xsl:template match="note">
    <xsl:element name="aside">
      <xsl:copy><xsl:text>Note: </xsl:text></xsl:copy>
      <xsl:apply-templates select="../title"/>
      <xsl:apply-templates select="../title/text()"/>
    </xsl:element>
  </xsl:template>

  <xsl:template match="title"/>
</xsl:stylesheet>
