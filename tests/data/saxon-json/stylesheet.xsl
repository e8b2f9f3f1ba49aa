<?xml version="1.0"?>
<xsl:stylesheet version="3.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="json" indent="no"/>
  <xsl:template match="/order">
    <xsl:sequence select="map{ 'items': array{ item ! map{ 'name': string(@name), 'price': number(@price) } },
                               'total': sum(item/@price) }"/>
  </xsl:template>
</xsl:stylesheet>
