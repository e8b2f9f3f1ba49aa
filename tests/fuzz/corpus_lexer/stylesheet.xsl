<xsl:stylesheet version="1.0"
    xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:template match="item[@qty &gt; 3]|child::a/b">
<div title="{concat($v, &quot;}&quot;)}{{x}}"><xsl:if test="count(node()) div 2 = 1.5 and * * 3"/></div>
</xsl:template>
</xsl:stylesheet>
