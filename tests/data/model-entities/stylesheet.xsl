<?xml version="1.0"?>
<!DOCTYPE xsl:stylesheet [
<!ENTITY % shared SYSTEM "shared.ent">
<!ENTITY local "$scale * 2">
%shared;
<!ENTITY sep "$ignored">
]>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:param name="scale" select="1"/>
  <xsl:template match="/">
    &setup-name-variable;
    <xsl:value-of select="concat($name, &sep;, &local;)"/>
    <xsl:value-of select="&sized;"/>
  </xsl:template>
</xsl:stylesheet>
