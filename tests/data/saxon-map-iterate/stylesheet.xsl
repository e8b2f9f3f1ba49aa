<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:map="http://www.w3.org/2005/xpath-functions/map"
    exclude-result-prefixes="map" version="3.0" expand-text="yes">
  <xsl:output method="text"/>
  <xsl:template match="/readings">
    <xsl:variable name="names" select="map{ 'a': 'Alpha', 'b': 'Beta' }"/>
    <xsl:iterate select="r">
      <xsl:param name="sum" select="0"/>
      <xsl:on-completion>total {$sum}&#10;</xsl:on-completion>
      <xsl:text>{$names(@k)} {. + $sum}&#10;</xsl:text>
      <xsl:next-iteration>
        <xsl:with-param name="sum" select="$sum + ."/>
      </xsl:next-iteration>
    </xsl:iterate>
  </xsl:template>
</xsl:stylesheet>
