<t:stylesheet xmlns:t="http://www.w3.org/1999/XSL/Transform">
<t:if test="'a
b'"><![CDATA[ x ]]><?pi d?>
</t:if>