<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="2.0">
  <xsl:output method="xml" indent="no"/>
  <xsl:template match="/log">
    <dates>
      <xsl:analyze-string select="." regex="([0-9]{{4}})-([0-9]{{2}})-([0-9]{{2}})">
        <xsl:matching-substring>
          <date year="{regex-group(1)}" month="{regex-group(2)}" day="{regex-group(3)}"/>
        </xsl:matching-substring>
      </xsl:analyze-string>
      <clean><xsl:value-of select="replace(normalize-space(.), '[0-9]{4}-[0-9]{2}-[0-9]{2}', 'DATE')"/></clean>
    </dates>
  </xsl:template>
</xsl:stylesheet>
