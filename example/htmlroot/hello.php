<?php
$name = isset($_GET['name']) ? $_GET['name'] : 'world';
echo "<!DOCTYPE html>\n<html><head><title>PHP</title></head><body>\n";
echo "<p>Hello from PHP, " . htmlspecialchars($name) . ".</p>\n";
echo "</body></html>\n";
