<?xml version="1.0"?>
<xsl:stylesheet version="3.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" expand-text="yes">
  <xsl:template match="/order">
    <xsl:for-each select="item">
      <p>{@name}: {if (@price) then @price else error(QName('urn:shop', 'no-price'), 'No price for ' || @name)}</p>
    </xsl:for-each>
  </xsl:template>
</xsl:stylesheet>
