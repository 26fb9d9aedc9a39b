"""datasets"""
